#include "geometry/three_point.h"

#include <cstdint>

#include "geometry/affine.h"
#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"
#include "text/error.h"

namespace korvane::geometry {

Matrix4 ThreePointMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  return ThreePointFit(base, moved).matrix;
}

Matrix4 ThreePointInModel(const ThreePoint& t, const std::vector<Vector3>& base,
                          const std::vector<Vector3>& moved, bool scaled) {
  if (scaled) return t.matrix;
  const auto at = [](const std::vector<Vector3>& v, std::int32_t i) {
    return v[static_cast<std::size_t>(i)];
  };
  const std::vector<Vector3> from{at(base, t.base.a), at(base, t.base.b), at(base, t.base.c)};
  const std::vector<Vector3> to{at(moved, t.moved.a), at(moved, t.moved.b), at(moved, t.moved.c)};
  return PairMotion(from, to, false);
}

ThreePoint ThreePointRule(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  ReferenceIndices rb, rm;
  if (base.size() == moved.size()) {
    // Vertex k of one mesh is vertex k of the other: the base alone chooses.
    rb = FarthestPointByAxis(base, ReferenceIndices{});
    rm = rb;
  } else {
    rb = FarthestPointExhaustive(base);
    rm = FarthestPointExhaustive(moved);
  }
  const auto usable = [](const ReferenceIndices& r, std::size_t n) {
    const auto in = [n](std::int32_t i) { return i >= 0 && static_cast<std::size_t>(i) < n; };
    return r.a != r.b && r.b != r.c && r.c != r.a && in(r.a) && in(r.b) && in(r.c);
  };
  if (!usable(rb, base.size()) || !usable(rm, moved.size()))
    throw Error(text::Refusal{text::Reason::no_reference_triangle});
  const auto at = [](const std::vector<Vector3>& v, std::int32_t i) {
    return v[static_cast<std::size_t>(i)];
  };
  const ReferenceTriangles t{at(base, rb.a),  at(base, rb.b),  at(base, rb.c),
                             at(moved, rm.a), at(moved, rm.b), at(moved, rm.c)};
  return ThreePoint{rb, rm, AnalyzeTriangles(t).matrix};
}

ThreePoint ThreePointFit(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  CheckFittable(base, text::MeshRole::base);
  CheckFittable(moved, text::MeshRole::moved);
  return ThreePointRule(base, moved);
}

}  // namespace korvane::geometry
