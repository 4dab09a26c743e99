// Reference-vertex rules on decoded point sets: the fast exhaustive rule must
// give exactly the double loop's indices, and the axis rule stays in range,
// repeats itself, and takes the first extremes along the longest axis.
//
// Input: one header byte (scale in bits 0-2, bit 3 turns special values off),
// then 7 bytes a point: x, y, z as little-endian int16 times the scale, and a
// byte that may replace the point by a duplicate, a near tie, or put NaN,
// infinity, a huge, subnormal or negative-zero value on one axis.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "geometry/farthest.h"

namespace {

using korvane::geometry::ReferenceIndices;
using korvane::geometry::Vector3;
using korvane::fuzz::ShowDouble;

// Sizes past the double loop's threshold reach the tree search; this keeps
// the quadratic reference cheap.
constexpr std::size_t kMaxPoints = 300;

constexpr double kScales[8] = {1.0, 1e-3, 0x1p-1060, 1e150, 1e300, 1e-160, 0x1p-1074, 1e200};

std::vector<Vector3> Decode(const std::uint8_t* data, std::size_t size) {
  std::vector<Vector3> v;
  if (size == 0) return v;
  const double scale = kScales[data[0] & 7u];
  const bool specials = (data[0] & 8u) == 0;
  for (std::size_t at = 1; at + 7 <= size && v.size() < kMaxPoints; at += 7) {
    double c[3];
    for (int k = 0; k < 3; ++k) {
      std::int16_t i;
      std::memcpy(&i, data + at + 2 * k, sizeof i);
      c[k] = static_cast<double>(i) * scale;
    }
    Vector3 p(c[0], c[1], c[2]);
    const unsigned code = data[at + 6];
    const Eigen::Index axis = static_cast<Eigen::Index>((code >> 4) % 3);
    if (specials) {
      switch (code & 15u) {
        case 8:  // duplicate of an earlier point
          if (!v.empty()) p = v[(code >> 4) % v.size()];
          break;
        case 9:
          p[axis] = std::numeric_limits<double>::quiet_NaN();
          break;
        case 10:
          p[axis] = std::numeric_limits<double>::infinity();
          break;
        case 11:
          p[axis] = -std::numeric_limits<double>::infinity();
          break;
        case 12:  // squares and differences overflow
          p[axis] = std::copysign(DBL_MAX, c[axis] == 0.0 ? 1.0 : c[axis]);
          break;
        case 13:  // squares underflow
          p[axis] = c[axis] * 0x1p-1074;
          break;
        case 14:  // the previous point one ulp away: distances tie or nearly
          if (!v.empty()) {
            p = v.back();
            p[axis] = std::nextafter(p[axis], (code & 64u) != 0 ? 1e308 : -1e308);
          }
          break;
        case 15:
          p[axis] = -0.0;
          break;
        default:
          break;
      }
    }
    v.push_back(p);
  }
  return v;
}

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
  const std::vector<Vector3> v = Decode(data, size);
  const ReferenceIndices fast = korvane::geometry::FarthestPointExhaustive(v);
  const ReferenceIndices literal = korvane::geometry::FarthestPointExhaustiveLiteral(v);
  FUZZ_CHECK(Same(fast, literal), "fast " + ShowIndices(fast) + ", double loop " +
                                      ShowIndices(literal) + " on " + Describe(v));
  CheckAxisRule(v);
  return 0;
}
