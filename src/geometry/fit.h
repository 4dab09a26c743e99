// How well a similarity motion (rotation, uniform scale, translation) carries
// a base mesh onto its moved copy, and better motions than the three-point
// rule where the copy was re-exported: vertices removed or added, triangles
// split, vertex order shuffled, coordinates rounded or noisy.
//
// Bad input is refused with korvane::Error (Kind::refused): a mesh with no
// vertex or fewer than three, a coordinate that is not finite, all vertices
// on one line, least squares between meshes of different vertex counts.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "geometry/farthest.h"
#include "geometry/geometry.h"
#include "geometry/spatial.h"

namespace korvane::geometry {

// Default `FitOptions::tolerance`, relative to the moved mesh's bounding-box
// diagonal: above what rounding a copy to six decimals, splitting, shuffling
// or removing vertices leaves under the true motion, far below what a wrong
// motion leaves (bench/README.md, "The default tolerance"). Noisy scans need
// a larger one, and so do meshes smaller than about 0.1 units stored with six
// decimals.
inline constexpr double kDefaultTolerance = 1e-5;

// Summary of a set of distances. Relative values are divided by `length`.
struct ResidualStats {
  std::size_t count = 0;
  double rms = 0.0;
  double median = 0.0;  // mean of the two middle values for an even count
  double p95 = 0.0;     // nearest rank: the smallest value with 95% of all at or below it
  double max = 0.0;
  double length = 0.0;
  double rmsRelative = 0.0;
  double medianRelative = 0.0;
  double p95Relative = 0.0;
  double maxRelative = 0.0;
};

// Statistics of `distances` (consumed: reordered in place, no full sort).
// All zero for an empty set.
ResidualStats ComputeResidualStats(std::vector<double> distances, double length);

// Length of the diagonal of the axis-aligned box around `v` (0 when empty).
double BoundingDiagonal(const std::vector<Vector3>& v);

// Root mean square distance of the vertices from their centroid (not empty).
double Spread(const std::vector<Vector3>& v);

// The moved mesh as nearest-point queries see it: its surface when it has
// triangles, otherwise its vertices. Keeps references: both arrays must
// outlive it. Refuses vertices that cannot be fitted (see above) and
// triangles referring to vertices that do not exist. The surface index is
// built when first needed (a copy whose vertices pair up within the
// tolerance needs none), on up to `threads` threads (0: every core), the
// same for any number.
class FitTarget {
 public:
  FitTarget(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles,
            unsigned threads = 0);
  ~FitTarget();

  const std::vector<Vector3>& vertices() const { return *vertices_; }
  const std::vector<Triangle>& triangles() const { return *triangles_; }
  bool hasSurface() const { return !triangles_->empty(); }
  // Bounding-box diagonal: the length residuals are relative to.
  double size() const { return size_; }
  double spread() const { return spread_; }

  // points[i] = the target point closest to queries[i].
  void Closest(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
               unsigned threads) const;
  // The same, with normals[i] the unit normal of the triangle points[i] lies
  // on (zero where it is a vertex on no triangle, or the triangle has no area).
  void ClosestWithNormals(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                          std::vector<Vector3>& normals, unsigned threads) const;
  // About `count` points spread evenly over the surface by area (without
  // one, every k-th vertex), plus the vertices on no triangle; the same every time.
  std::vector<Vector3> SpreadPoints(std::size_t count) const;
  // out[i] = distance from TransformPoint(m, base[i]) to the target.
  void DistancesFrom(const Matrix4& m, const std::vector<Vector3>& base, std::vector<double>& out,
                     unsigned threads) const;
  // out[i] = distance from TransformPoint(m, base[i]) to target vertex i and
  // the triangles around it (equal vertex counts): never less than
  // DistancesFrom's, the same unless another part of the mesh passes closer.
  void PairedDistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                           std::vector<double>& out, unsigned threads) const;

 private:
  const SurfaceIndex& Surface() const;

  const std::vector<Vector3>* vertices_;
  const std::vector<Triangle>* triangles_;
  unsigned threads_ = 0;
  mutable std::once_flag built_;
  mutable std::unique_ptr<SurfaceIndex> surface_;
  std::vector<Vector3> loose_;          // vertices on no triangle, when there is a surface
  std::unique_ptr<PointIndex> points_;  // every vertex without a surface, else the loose ones
  double size_ = 0.0;
  double spread_ = 0.0;
};

// Residuals of a motion m, relative to the target's size.
struct Residuals {
  // For every base vertex v: distance from m·v to the target's surface, or
  // to its nearest vertex when `toSurface` is false.
  ResidualStats surface;
  bool toSurface = false;
  // |m·v_i - w_i| for every pair i; count 0 unless the vertex counts are equal.
  ResidualStats paired;
};

// `distances`, when given, receives the surface distance of every base vertex.
// With `tolerance` (relative) and equal counts, a vertex that lands within it
// of the triangles around its paired vertex is measured there (see
// FitTarget::PairedDistancesFrom: within the tolerance either way), the rest
// against the whole surface; a plain copy then needs no surface index.
Residuals MeasureResiduals(const std::vector<Vector3>& base, const FitTarget& target,
                           const Matrix4& m, unsigned threads = 0,
                           std::vector<double>* distances = nullptr, double tolerance = 0.0);

// The library's three-point motion, reference vertices chosen as measuring
// chooses them: equal counts, the axis rule on the base and the same indices
// on the moved mesh; otherwise the exhaustive rule on each.
struct ThreePoint {
  ReferenceIndices base;
  ReferenceIndices moved;
  Matrix4 matrix = Matrix4::Identity();
};
// ThreePointFit refuses, before the rule, what the other fits refuse too
// (fewer than three vertices, coordinates that are not finite, all on one line).
ThreePoint ThreePointFit(const std::vector<Vector3>& base, const std::vector<Vector3>& moved);
// The rule alone, as the exported CalcMatrix applies it: refuses
// (Reason::no_reference_triangle) when it finds no three distinct vertices on
// each mesh (fewer than three, all at one point, no vertex at all), and
// whatever AnalyzeTriangles refuses.
ThreePoint ThreePointRule(const std::vector<Vector3>& base, const std::vector<Vector3>& moved);
Matrix4 ThreePointMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved);

// Least-squares similarity carrying base[i] onto moved[i] (Umeyama). With
// `trim` > 0: fit, drop the worst `trim` fraction of pairs, fit again.
Matrix4 LeastSquaresMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                           double trim = 0.0);

//   automatic      three_point when it fits, else least_squares when the
//                  counts are equal and it fits, else icp
//   three_point    ThreePointMotion
//   least_squares  LeastSquaresMotion with the options' trim (equal counts only)
//   icp            iterative closest point with uniform scale, base vertices
//                  paired with the closest points of the target. A global
//                  search from `start` (default the three-point motion),
//                  every proper alignment of the principal axes and turns
//                  spread over all rotations, ranked coarse to fine; steps
//                  point-to-plane on a surface (Umeyama on vertices), the
//                  worst pairs trimmed once the motion has settled; runs end
//                  when the motion stops moving. Same bits for any thread count.
enum class FitKind { automatic, three_point, least_squares, icp };

// The one table of fit names: "auto", "three-point", "least-squares", "icp".
inline constexpr FitKind kFitKinds[] = {FitKind::automatic, FitKind::three_point,
                                        FitKind::least_squares, FitKind::icp};
const char* FitName(FitKind kind);
std::optional<FitKind> FitByName(std::string_view name);

// What, besides the motion, tells the meshes apart; judged from the residuals.
//   none                       counts equal, the motion fits, so do the pairs
//   vertex_order_differs       counts equal, and either the motion fits but
//                              the paired residual does not, or nothing fits but
//                              the vertex sets have the same shape (sorted
//                              distances from the centroid agree after scaling)
//   vertices_added_or_removed  the vertex counts differ
//   not_a_similar_copy         counts equal, nothing fits, shapes differ
enum class LikelyCause {
  none,
  vertex_order_differs,
  vertices_added_or_removed,
  not_a_similar_copy
};

// ICP's defaults: its pairs start out partly wrong, so a tenth is left out.
inline constexpr double kDefaultIcpTrim = 0.1;
inline constexpr int kDefaultMaxIterations = 100;

// Every choice a fit takes, with the defaults that the command line, the C++
// interface and the report all show.
struct FitOptions {
  FitKind kind = FitKind::automatic;
  // The motion fits when the surface residual's relative 95th percentile is
  // at most this (and its scale does not shrink the base, see FitResult).
  double tolerance = kDefaultTolerance;
  // Fraction of the worst pairs left out of each solve (least squares: of the refit), in [0, 0.5];
  // unset: kDefaultIcpTrim for ICP, none for least squares.
  std::optional<double> trim;
  // ICP iterations per start, at most, counted over all sample sizes.
  int maxIterations = kDefaultMaxIterations;
  // Threads for the nearest-point queries; 0: every core. Results do not depend on it.
  unsigned threads = 0;
  // The three-point motion when the caller already has it: ICP's first start and
  // the automatic fit's first try. Measured here when unset.
  std::optional<Matrix4> start;

  // The trim the fit `k` uses.
  double TrimFor(FitKind k) const {
    return trim.value_or(k == FitKind::icp ? kDefaultIcpTrim : 0.0);
  }
  // Keep the surface distance of every base vertex (FitResult::distances), for pictures.
  bool keepDistances = false;
};

// Why a motion does not fit, named in the verdict: every check that can fail one.
//   residual      the relative 95th percentile of the surface residual (on the
//                 judged share) is above the tolerance
//   scale         it fits only by shrinking or growing the base far from the
//                 moved mesh's spread (fitted onto a patch of it)
//   mirror_image  the moved mesh is a mirror image of the base: no turn carries it
enum class Shortfall { none, residual, scale, mirror_image };

// Another motion that fits as well as the one found (a symmetric mesh).
struct Alternative {
  Matrix4 matrix = Matrix4::Identity();
  Residuals residuals;
};

struct FitResult {
  Matrix4 matrix = Matrix4::Identity();
  Shortfall shortfall = Shortfall::residual;  // none exactly when `fits`
  // The share of base vertices the verdict was judged on: 1, or 1 - trim when
  // the caller set FitOptions::trim (a partial copy judged on the part kept).
  double judgedShare = 1.0;
  double judgedP95Relative = 0.0;  // the relative 95th percentile over that share
  // Base vertices within tolerance of the moved mesh, as a share of all.
  double overlap = 0.0;
  // Base vertices farther than the tolerance: how many, and the farthest (absolute).
  std::size_t outliers = 0;
  double largestOutlier = 0.0;
  // More than one motion fits and the pairing of vertices (equal counts) does
  // not decide: `matrix` is the best, `alternatives` the others.
  bool ambiguous = false;
  std::vector<Alternative> alternatives;
  // ICP used up FitOptions::maxIterations before the motion settled.
  bool hitIterationLimit = false;
  // The distinct final motions of ICP's best runs, best first (for ambiguity).
  std::vector<Matrix4> candidates;
  FitKind kind = FitKind::three_point;  // the fit whose motion this is (automatic: the one kept)
  std::vector<FitKind> tried;           // automatic: the fits tried before it, in order
  int iterations = 0;  // ICP iterations of the run that gave `matrix`; 0 for the other kinds
  int starts = 0;      // ICP starts tried; 0 for the other kinds
  Residuals residuals;
  // scale(matrix) * Spread(base) / Spread(target): about 1 for a copy, far
  // below when the base was shrunk onto a patch of the target.
  double scaleRatio = 0.0;
  // judgedP95Relative <= tolerance, scaleRatio in [0.5, 2], and no mirror image.
  bool fits = false;
  LikelyCause likelyCause = LikelyCause::not_a_similar_copy;
  // Surface distance of every base vertex, with FitOptions::keepDistances.
  std::vector<double> distances;
};

// Finds the motion by `options.kind` and reports how well it fits.
FitResult FitMotion(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options = {});
// The same, with the base's triangles: ICP then first matches them to the
// target's (a copy keeps the shapes of its triangles), which finds the
// motion of thin, flat and nearly symmetric parts that starts miss. A
// triangle referring to a vertex that does not exist is refused.
FitResult FitMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                    const FitTarget& target, const FitOptions& options = {});
// ICP looks at no more of the base's triangles than this, evenly spread: a
// source may give a sample (obj::FaceCollector keeps one).
inline constexpr std::size_t kBaseTrianglesLooked = 200000;
// The base's triangles, asked for only when ICP runs (reading them may cost a
// pass over a file); the list must outlive the fit. Empty: none.
using TrianglesSource = std::function<const std::vector<Triangle>&()>;
FitResult FitMotion(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                    const FitTarget& target, const FitOptions& options = {});

// Sets r.ambiguous and r.alternatives: the motions of r.candidates that fit as
// well and put some base vertex farther than the tolerance from where r.matrix
// puts it. Pairs that fit (equal counts) leave no ambiguity. FitMotion calls
// it for ICP's candidates.
void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r);

// The verdict and likely cause for a motion found elsewhere.
FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options = {});

// A similarity taken apart for reports: m = Translation(translation) *
// AngleAxis(angle, axis) * Scaling(scale). A mirroring matrix gets a negative
// scale (and the proper rotation that goes with it).
struct MotionParts {
  double scale = 1.0;
  Vector3 axis = Vector3::UnitX();  // unit; x for a zero angle
  double angleDegrees = 0.0;        // in [0, 180]
  Vector3 translation = Vector3::Zero();
};
MotionParts DecomposeMotion(const Matrix4& m);

}  // namespace korvane::geometry
