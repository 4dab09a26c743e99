// Whole-mesh motions proposed from single triangles. A moved copy keeps the
// shapes of its triangles (re-exported, vertices removed or reordered, every
// triangle split in four at its edge midpoints), so a base triangle of a rare
// shape and a target triangle of the same shape give the motion, and the base
// vertices it puts onto target vertices tell a right proposal from a wrong
// one. Unlike a search from starts, it depends neither on luck nor on how
// well the principal axes are defined. Internal to the geometry room.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/spatial.h"

namespace korvane::geometry {

struct Proposal {
  Matrix4 m = Matrix4::Identity();
  // Share of the checked base vertices that land on a target vertex.
  double hits = 0.0;
  int refits = 0;       // on vertex pairs, for the refined ones
  bool capped = false;  // the limit stopped the refits before they settled
};

// Distinct proposals whose share is at least `minimum`, most hits first (at
// most `count`); empty when either mesh has no triangle of a usable shape.
// The first `refined` are refitted on every vertex of `sample` (base
// vertices) that lands, until the pairs settle (at most `mostRefits` times),
// and their share counted on it. `size`: the target's bounding-box diagonal.
// Without `scaled` every proposal and refit keeps the scale 1. Same bits for
// any thread count.
std::vector<Proposal> ProposeByTriangles(const std::vector<Vector3>& base,
                                         const std::vector<Triangle>& baseTriangles,
                                         const std::vector<Vector3>& target,
                                         const std::vector<Triangle>& targetTriangles, double size,
                                         double minimum, std::size_t count,
                                         const std::vector<Vector3>& sample, std::size_t refined,
                                         int mostRefits, bool scaled, unsigned threads);

}  // namespace korvane::geometry
