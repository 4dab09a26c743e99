// Residuals: how far a motion leaves the base's vertices from the target,
// summed up as the verdict and the report read them.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/fit_target.h"

namespace korvane::geometry {

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

// 95th percentile by nearest rank (0 for none), of values consumed.
double Percentile95(std::vector<double> v);

// Residuals of a motion m, relative to the target's size.
struct Residuals {
  // For every base vertex v: distance from m·v to the target's surface, or
  // to its nearest vertex when `toSurface` is false.
  ResidualStats surface;
  bool toSurface = false;
  // |m·v_i - w_i| for every pair i; count 0 unless the vertex counts are equal.
  ResidualStats paired;
  // The copy's points (a sample of them) from the moved base: its surface
  // when `reverseToSurface`, else its vertices (reverse.h). Count 0 when not
  // measured: the motion misses already, or the pairs fit (then every
  // copy vertex lies within its pair's distance of the moved base).
  ResidualStats reverse;
  bool reverseToSurface = false;
};

// `distances`, when given, receives the surface distance of every base vertex.
// With `tolerance` (relative) and equal counts, a vertex that lands within it
// of the triangles around its paired vertex is measured there (see
// FitTarget::PairedDistancesFrom: within the tolerance either way), the rest
// against the whole surface; a plain copy then needs no surface index.
Residuals MeasureResiduals(const std::vector<Vector3>& base, const FitTarget& target,
                           const Matrix4& m, unsigned threads = 0,
                           std::vector<double>* distances = nullptr, double tolerance = 0.0);

}  // namespace korvane::geometry
