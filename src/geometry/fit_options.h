// What a fit is asked for: the fit's kind and the numbers that steer and judge
// it, with the defaults and limits every host shows (the command line, the C++
// interface, Python and Blender read them from here, never restate them).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "geometry/geometry.h"

namespace korvane::geometry {

// Default `FitOptions::tolerance`, relative to the moved mesh's bounding-box
// diagonal: above what rounding a copy to six decimals, splitting, shuffling
// or removing vertices leaves under the true motion, far below what a wrong
// motion leaves (bench/README.md, "The default tolerance"). Noisy scans need
// a larger one, and so do meshes smaller than about 0.1 units stored with six
// decimals.
inline constexpr double kDefaultTolerance = 1e-5;
// ICP's pairs start out partly wrong, so a tenth is left out.
inline constexpr double kDefaultIcpTrim = 0.1;
inline constexpr int kDefaultMaxIterations = 100;
// A trim leaves out at most half of the pairs: beyond that the worst half decides.
inline constexpr double kMostTrim = 0.5;
// ICP looks at no more of the base's triangles than this, evenly spread: a
// source may give a sample (obj::FaceCollector keeps one).
inline constexpr std::size_t kBaseTrianglesLooked = 200000;

//   automatic      three_point when it fits and the vertex pairs confirm it
//                  (equal counts, paired residual within the tolerance), else
//                  least_squares when it fits and they confirm it, else icp
//   three_point    the three-point rule (three_point.h)
//   least_squares  Umeyama on vertex i against vertex i (pair_solve.h), the
//                  options' trim (equal counts only)
//   icp            proposals from matched triangles and a search from starts,
//                  refined by ICP steps with uniform scale (icp.h)
enum class FitKind { automatic, three_point, least_squares, icp };

// The one table of fit names: "auto", "three-point", "least-squares", "icp".
inline constexpr FitKind kFitKinds[] = {FitKind::automatic, FitKind::three_point,
                                        FitKind::least_squares, FitKind::icp};
const char* FitName(FitKind kind);
std::optional<FitKind> FitByName(std::string_view name);
// What the fit does, in one line for a menu or a help text.
const char* FitDescription(FitKind kind);

// Which motions a fit may return:
//   rigid       a turn and a shift: the scale is exactly 1 (a machined part
//               keeps its size, a scale of 0.999 from noise would be wrong)
//   similarity  a turn, a uniform scale and a shift
//   affine      any linear map and a shift: twelve numbers (a copy stretched
//               along some axis, as by a mis-set scan scale or an export)
enum class MotionModel { rigid, similarity, affine };
// The one table of model names: "rigid", "similarity", "affine".
inline constexpr MotionModel kMotionModels[] = {MotionModel::rigid, MotionModel::similarity,
                                                MotionModel::affine};
const char* MotionName(MotionModel model);
std::optional<MotionModel> MotionByName(std::string_view name);
// What the model allows, in one line for a menu or a help text.
const char* MotionDescription(MotionModel model);

// What one pair solve or step may do besides turning and shifting.
struct Freedom {
  bool scaled = true;     // a uniform scale
  bool mirrored = false;  // a reflection, when one fits better than any turn
  bool affine = false;    // any linear map (then `scaled` does not matter)
};

// Every choice a fit takes.
struct FitOptions {
  FitKind kind = FitKind::automatic;
  MotionModel motion = MotionModel::similarity;
  // Mirror images fit too (a left/right pair): an improper motion, reported as
  // such; otherwise a mirror image never fits.
  bool allowMirror = false;
  // The motion fits when the surface residual's relative 95th percentile is
  // at most this (and its scale does not shrink the base, see FitResult).
  double tolerance = kDefaultTolerance;
  // The tolerance set from the copy's and the base's roughness (roughness.h)
  // instead of `tolerance`, which is then ignored.
  bool autoTolerance = false;
  // The tolerance of the copy's points measured back onto the moved base,
  // when it differs (unset: `tolerance`): a scan's points lie within their
  // noise of the base's surface, while base vertices land up to a spacing
  // from the nearest scan point.
  std::optional<double> reverseTolerance;
  // Fraction of the worst pairs left out of each solve (least squares: of the refit), in [0, 0.5];
  // unset: kDefaultIcpTrim for ICP, none for least squares.
  std::optional<double> trim;
  // The trim set from the overlap a fit finds (overlap.h) when the whole base
  // does not fit; `trim` is then ignored.
  bool autoTrim = false;
  // ICP iterations per start, at most, counted over all sample sizes.
  int maxIterations = kDefaultMaxIterations;
  // Threads for the nearest-point queries; 0: every core. Results do not depend on it.
  unsigned threads = 0;
  // The three-point motion when the caller already has it (of `motion`'s model:
  // ThreePointInModel): ICP's first start and the automatic fit's first try.
  // Measured here when unset.
  std::optional<Matrix4> start;

  // The trim the fit `k` uses.
  double TrimFor(FitKind k) const {
    return trim.value_or(k == FitKind::icp ? kDefaultIcpTrim : 0.0);
  }
  bool Scaled() const { return motion != MotionModel::rigid; }
  bool Affine() const { return motion == MotionModel::affine; }
  // What a solve of the model may do (a mirror image is fitted apart).
  Freedom Solves() const { return Freedom{Scaled(), false, Affine()}; }
  // Keep the surface distance of every base vertex (FitResult::distances), for pictures.
  bool keepDistances = false;
};

// Refuses (korvane::Error) a tolerance that is not positive and finite, a
// trim outside [0, kMostTrim], a negative iteration limit and the three-point
// fit of an affine motion (three points cannot give twelve numbers).
void CheckOptions(const FitOptions& o);

}  // namespace korvane::geometry
