// The pair solve: the similarity that carries paired points onto each other
// as closely as squares go (Umeyama). Every fit solves through it: least
// squares on vertex i against vertex i, ICP's point-to-point steps, the
// refits of matched triangles and the mirror check.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/geometry.h"

namespace korvane::geometry {

// The similarity carrying src[i] onto dst[i] for the pairs with mask[i] set
// (an empty mask keeps every pair; `keep` is how many are kept), as `freedom`
// allows: without a scale, the turn and shift alone (the scale exactly 1);
// with `mirrored`, the reflection too when one fits better than any turn.
// Computed from sums over the pairs in two passes, with Eigen::umeyama's
// formula, without copying the point sets. With `affine`, any linear map
// (least squares), except along a direction in which the kept sources spread
// by less than kFlatVariance of their widest: there the similarity's map is kept.
Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                   const std::vector<char>& mask, std::size_t keep, Freedom freedom = {});
// Every pair, a turn, scaled when `scaled`.
Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                   bool scaled = true);

// The same with a weight on each pair (not negative, some positive): the
// weighted means and cross-covariance. An affine freedom solves the pairs of
// weight at least one half, unweighted.
Matrix4 WeightedPairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                           const std::vector<double>& weights, Freedom freedom);

// Least-squares motion (as `freedom` allows, without a mirror) carrying
// base[i] onto moved[i]. With `trim` > 0:
// fit, drop the worst `trim` fraction of pairs, fit again. Refuses what no
// fit can use (point_sets.h), unequal counts, a trim outside [0, 0.5] and a
// solve that is not finite.
Matrix4 LeastSquaresMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                           double trim = 0.0, Freedom freedom = {});

}  // namespace korvane::geometry
