// Reference-vertex rules on decoded point sets: the fast exhaustive rule must
// give exactly the double loop's indices, and the axis rule stays in range,
// repeats itself, and takes the first extremes along the longest axis.
//
// Input: decoded by DecodePoints (farthest_points.h).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "farthest_points.h"
#include "fuzz_check.h"
#include "geometry/farthest.h"

namespace {

using korvane::fuzz::ShowDouble;
using korvane::geometry::ReferenceIndices;
using korvane::geometry::Vector3;

std::string Describe(const std::vector<Vector3>& v) {
  std::string out = std::to_string(v.size()) + " points:";
  for (std::size_t i = 0; i < v.size() && i < 64; ++i) {
    out += "\n  " + std::to_string(i) + ": " + ShowDouble(v[i].x()) + ", " + ShowDouble(v[i].y()) +
           ", " + ShowDouble(v[i].z());
  }
  return out;
}

std::string ShowIndices(const ReferenceIndices& r) {
  return "(" + std::to_string(r.a) + ", " + std::to_string(r.b) + ", " + std::to_string(r.c) + ")";
}

bool Same(const ReferenceIndices& p, const ReferenceIndices& q) {
  return p.a == q.a && p.b == q.b && p.c == q.c;
}

void CheckAxisRule(const std::vector<Vector3>& v) {
  const ReferenceIndices current{7, 8, 9};
  const ReferenceIndices r = korvane::geometry::FarthestPointByAxis(v, current);
  FUZZ_CHECK(Same(r, korvane::geometry::FarthestPointByAxis(v, current)),
             "axis rule not repeatable on " + Describe(v));
  if (v.empty()) {
    FUZZ_CHECK(Same(r, current), "axis rule changed the indices of an empty list");
    return;
  }
  const auto n = static_cast<std::int32_t>(v.size());
  FUZZ_CHECK(
      r.a >= 0 && r.a < n && r.b >= 0 && r.b < n && (r.c == current.c || (r.c >= 0 && r.c < n)),
      ShowIndices(r) + " out of range on " + Describe(v));
  const auto at = [&](std::int32_t i) { return v[static_cast<std::size_t>(i)]; };
  if (r.c != current.c) {
    FUZZ_CHECK(korvane::geometry::TriangleArea(at(r.a), at(r.b), at(r.c)) > 0.0,
               ShowIndices(r) + ": C without positive area on " + Describe(v));
  }

  for (const Vector3& p : v) {
    if (std::isnan(p.x()) || std::isnan(p.y()) || std::isnan(p.z())) return;
  }
  // Without NaN: the axis of largest extent (x, then y, on ties), and the
  // first minimum and first maximum along it.
  double lo[3];
  double hi[3];
  for (int k = 0; k < 3; ++k) {
    lo[k] = hi[k] = v[0][k];
    for (const Vector3& p : v) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  }
  const double e[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  const int axis = e[0] >= e[1] && e[0] >= e[2] ? 0 : e[1] >= e[2] ? 1 : 2;
  std::int32_t first_lo = -1;
  std::int32_t first_hi = -1;
  for (std::int32_t i = 0; i < n; ++i) {
    if (first_lo < 0 && at(i)[axis] == lo[axis]) first_lo = i;
    if (first_hi < 0 && at(i)[axis] == hi[axis]) first_hi = i;
  }
  FUZZ_CHECK(r.a == first_lo && r.b == first_hi,
             ShowIndices(r) + " but axis " + std::to_string(axis) + " has its first minimum at " +
                 std::to_string(first_lo) + " and first maximum at " + std::to_string(first_hi) +
                 " on " + Describe(v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<Vector3> v = korvane::fuzz::DecodePoints(data, size);
  const ReferenceIndices fast = korvane::geometry::FarthestPointExhaustive(v);
  const ReferenceIndices literal = korvane::geometry::FarthestPointExhaustiveLiteral(v);
  FUZZ_CHECK(Same(fast, literal), "fast " + ShowIndices(fast) + ", double loop " +
                                      ShowIndices(literal) + " on " + Describe(v));
  CheckAxisRule(v);
  return 0;
}
