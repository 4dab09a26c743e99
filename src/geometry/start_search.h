// Proposals from starts: every proper alignment of the principal axes and
// turns spread over all rotations, each run a few ICP steps against points
// spread over the target, ranked coarse to fine. Depends neither on vertex
// numbers nor on triangle shapes (point clouds, remeshed copies), but on luck
// where a part is nearly symmetric.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "geometry/fit_target.h"
#include "geometry/icp_loop.h"

namespace korvane::geometry {

// The search from starts: every start against points spread over the
// surface, on threads (each start is run on its own, so the ranking is the
// same on any number); the poses about as good as the best, distinct.
// `start`, when given, is tried first; `count` receives how many starts were tried.
// Without `scaled` the starts and steps keep the scale 1 (a rigid fit).
std::vector<Run> SearchFromStarts(const std::vector<Vector3>& base, const FitTarget& target,
                                  const std::optional<Matrix4>& start, double trim, bool scaled,
                                  const Eigen::AlignedBox3d& box, unsigned threads,
                                  std::size_t& count);

}  // namespace korvane::geometry
