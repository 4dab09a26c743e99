// The ICP fit's search: proposals from matched triangles first, then, unless
// one is sure, the search from starts; the best refined by ICP runs on growing
// samples. Internal to the geometry room; FitMotion (fit.h) wires it in.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_target.h"

namespace korvane::geometry {

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

// Affine ICP from each of the first `count` of `starts` (similarities the
// search found), through every sample size; the distinct final motions, best
// first. Where the target has triangles the steps are point-to-plane.
IcpSearch RefineAffine(const std::vector<Vector3>& base, const FitTarget& target,
                       const std::vector<Matrix4>& starts, std::size_t count,
                       const FitOptions& options);

}  // namespace korvane::geometry
