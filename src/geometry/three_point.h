// The three-point rule: the motion that carries three reference vertices of
// the base onto the same three of the moved mesh, chosen as the exported
// CalcMatrix chooses them. Exact for a copy in its own vertex order.
#pragma once

#include <vector>

#include "geometry/farthest.h"
#include "geometry/geometry.h"

namespace korvane::geometry {

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
// The three-point motion in a model: as the rule gives it, or without
// `scaled` the turn and shift that carry the three reference vertices closest.
Matrix4 ThreePointInModel(const ThreePoint& t, const std::vector<Vector3>& base,
                          const std::vector<Vector3>& moved, bool scaled);

}  // namespace korvane::geometry
