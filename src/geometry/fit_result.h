// A fit's result: the motion, the evidence measured for it and the verdict
// judged from that evidence. Built by the judgement (judgement.h), read by
// every host through the one report (matrix/fit_report.h).
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/residuals.h"
#include "geometry/roughness.h"

namespace korvane::geometry {

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

// Why a motion does not fit, named in the verdict: every check that can fail one.
//   residual      the relative 95th percentile of the surface residual (on the
//                 judged share) is above the tolerance
//   coverage      the base lands on the moved mesh, but the moved mesh's points
//                 do not all lie on the moved base (its relative 95th
//                 percentile, on the judged share, is above the tolerance): the
//                 base covers only part of the copy, or was shrunk onto part of it
//   scale         it fits only by shrinking or growing the base far from the
//                 moved mesh's spread (fitted onto a patch of it)
//   mirror_image  the moved mesh is a mirror image of the base: no turn carries it
//   size          a rigid fit misses a copy that a similarity with another
//                 scale fits (FitResult::fittingScale)
//   stretched     a rigid or similarity fit misses a copy that an affine
//                 motion, stretching unevenly, fits (FitResult::stretch)
enum class Shortfall { none, residual, scale, mirror_image, size, stretched, coverage };

// How a linear map stretches: its principal stretches, largest first, and
// their axes in the moved mesh's frame (unit columns, each pointing to its
// largest coordinate's positive side).
struct Stretch {
  Vector3 factors = Vector3::Ones();
  Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();
};

// Another motion that fits as well as the one found (a symmetric mesh).
struct Alternative {
  Matrix4 matrix = Matrix4::Identity();
  Residuals residuals;
};

// What would make a miss fit, found by judging its motion again:
//   tolerance_auto  the tolerance the copy's roughness asks for
//                   (FitResult::roughTolerance), larger than the one given
//   trim_auto       a trim to the overlap the motion shows
//                   (FitResult::remedyTrim): a partial copy
enum class Remedy { none, tolerance_auto, trim_auto };

struct FitResult {
  Matrix4 matrix = Matrix4::Identity();
  Shortfall shortfall = Shortfall::residual;  // none exactly when `fits`
  // The share of base vertices the verdict was judged on: 1, or 1 - trim when
  // the caller set FitOptions::trim (a partial copy judged on the part kept).
  double judgedShare = 1.0;
  double judgedP95Relative = 0.0;  // the relative 95th percentile over that share
  // The same of the copy's points from the moved base (Residuals::reverse),
  // over the same share of them; 0 when not measured.
  double judgedReverseP95Relative = 0.0;
  // Base vertices within tolerance of the moved mesh, as a share of all.
  double overlap = 0.0;
  // Base vertices farther than the tolerance: how many, and the farthest (absolute).
  std::size_t outliers = 0;
  double largestOutlier = 0.0;
  // More than one motion fits and the pairing of vertices (equal counts) does
  // not decide: `matrix` is the best, `alternatives` the others.
  bool ambiguous = false;
  std::vector<Alternative> alternatives;
  // An affine motion that a thin part does not pin down: the last of
  // `alternatives` is a stretch or shear of it, moving the base up to ten
  // tolerances, that fits as well.
  bool loose = false;
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
  // judgedP95Relative and judgedReverseP95Relative <= tolerance, scaleRatio
  // in [0.5, 2], and no mirror image (unless FitOptions::allowMirror).
  bool fits = false;
  // The motion is improper (a mirror image, with FitOptions::allowMirror).
  bool mirror = false;
  // Shortfall::residual, no trim asked: the motion fits judged on the share a
  // trim of this much keeps, both ways (a copy that lacks part of the base);
  // 0 when no trim up to kMostTrim makes it fit.
  double trimWouldFit = 0.0;
  // Shortfall::size: the scale of the similarity that fits.
  double fittingScale = 0.0;
  // Shortfall::stretched: the stretch of the affine motion that fits.
  Stretch stretch;
  // An affine motion of a flat base: its stretch across the base is the
  // similarity's, as no vertex measures it.
  bool flatBase = false;
  LikelyCause likelyCause = LikelyCause::not_a_similar_copy;
  // The tolerance judged with: FitOptions::tolerance, or the estimated one
  // with FitOptions::autoTolerance; and whether tolerance and trim were automatic.
  double tolerance = 0.0;
  bool toleranceAuto = false;
  bool trimAuto = false;
  // The moved mesh's own roughness (absolute), and the tolerance it and the
  // base's ask for (0 when not estimated: a fit that fits under a given one).
  Roughness roughness;
  double roughTolerance = 0.0;
  double roughReverseTolerance = 0.0;  // the same for the copy back onto the base
  Remedy remedy = Remedy::none;
  double remedyTrim = 0.0;  // Remedy::trim_auto: the trim that fits
  // Surface distance of every base vertex, with FitOptions::keepDistances.
  std::vector<double> distances;
};

}  // namespace korvane::geometry
