// Point sets from bytes, for the reference-vertex fuzzer and the tests that
// replay its corpus: one header byte (scale in bits 0-2, bit 3 turns special
// values off), then 7 bytes a point: x, y, z as little-endian int16 times the
// scale, and a byte that may replace the point by a duplicate, a near tie, or
// put NaN, infinity, a huge, subnormal or negative-zero value on one axis.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::fuzz {

// Sizes past the double loop's threshold reach the tree search; this keeps
// the quadratic reference cheap.
inline constexpr std::size_t kMaxPoints = 300;

inline constexpr double kScales[8] = {1.0, 1e-3, 0x1p-1060, 1e150, 1e300, 1e-160, 0x1p-1074, 1e200};

inline std::vector<geometry::Vector3> DecodePoints(const std::uint8_t* data, std::size_t size) {
  std::vector<geometry::Vector3> v;
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
    geometry::Vector3 p(c[0], c[1], c[2]);
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

}  // namespace korvane::fuzz
