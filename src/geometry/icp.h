// The ICP search behind FitKind::icp, and the pieces it shares with the
// other fits. Internal to the geometry room.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "geometry/fit.h"

namespace korvane::geometry {

namespace detail {

// Pairs kept by trimming: the `keep` smallest of `d` (ties: lower index), as a
// mask in index order so the solve sums in the same order every time.
std::vector<char> KeepSmallest(const std::vector<double>& d, std::size_t keep);
// How many of n pairs a trim of `trim` keeps (at least three).
std::size_t KeptCount(std::size_t n, double trim);
// Similarity carrying the masked src points onto the dst points (Umeyama);
// an empty mask keeps every pair.
Matrix4 SolveMasked(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                    const std::vector<char>& mask, std::size_t keep);
// Every `stride`-th vertex, at most `limit` of them.
std::vector<Vector3> Subsample(const std::vector<Vector3>& v, std::size_t limit);
double ScaleOf(const Matrix4& m);
// scale * spread(base) / spread(target) within the band a copy stays in.
bool ScaleConsistent(double ratio);

struct Frame {
  Vector3 centroid;
  Eigen::Matrix3d axes;  // eigenvectors of the covariance, as columns
  Vector3 variances;     // its eigenvalues, ascending
  double spread;         // trace of the covariance
};
Frame PrincipalFrame(const std::vector<Vector3>& v);

}  // namespace detail

// Distinct motions a search offers at most: every turn of a 64-sided prism
// onto itself.
inline constexpr std::size_t kMostCandidates = 128;

struct IcpSearch {
  std::vector<Matrix4> motions;  // distinct final motions, best first; never empty
  int iterations = 0;            // of the best run: surface steps, or refits on vertex pairs
  int starts = 0;
  bool hitIterationLimit = false;  // the best run stopped at the cap
};

// ICP from motions proposed by matching the base's triangles to the
// target's, and unless one of those is sure, from `start` (when given) and
// starts spread over every turn, ranked coarse to fine. Same bits for any
// thread count.
IcpSearch SearchMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                       const FitTarget& target, const std::optional<Matrix4>& start,
                       const FitOptions& options);

}  // namespace korvane::geometry
