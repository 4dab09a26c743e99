// Choice of the three reference vertices A, B, C of a mesh.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::geometry {

struct ReferenceIndices {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;
};

// 0.5 * |(p - a) x (b - a)|, evaluated exactly as both rules compare it.
double TriangleArea(const Vector3& a, const Vector3& b, const Vector3& p);

// Squared distance (q.x-p.x)^2 + (q.y-p.y)^2 + (q.z-p.z)^2, summed left to right.
double SquaredDistance(const Vector3& p, const Vector3& q);

// Exhaustive rule: A, B = the pair with the greatest squared distance (first
// pair in (i, j) order on ties, strict comparison); C = the vertex other than
// A and B with the largest positive area (first on ties, 0 when none).
// Near-linear on real meshes; gives exactly the indices of the double loop.
ReferenceIndices FarthestPointExhaustive(const std::vector<Vector3>& v);

// The literal double loop, quadratic; the reference the fast rule must match.
ReferenceIndices FarthestPointExhaustiveLiteral(const std::vector<Vector3>& v);

// Axis rule: A, B = first minimum and first maximum along the axis of largest
// extent (x before y before z on ties); C among the six axis extremes.
// `current` supplies C when no candidate has a positive area. An empty list
// returns `current` unchanged.
ReferenceIndices FarthestPointByAxis(const std::vector<Vector3>& v, ReferenceIndices current);

}  // namespace korvane::geometry
