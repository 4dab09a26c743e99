#include "obj/obj_face.h"

#include <algorithm>
#include <limits>

namespace korvane::obj {
namespace {

// Optional minus sign and at least one digit, nothing else; false on overflow.
bool ParseIndex(std::string_view s, std::int64_t& out) {
  const bool negative = !s.empty() && s[0] == '-';
  if (negative) s.remove_prefix(1);
  if (s.empty()) return false;
  std::int64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    if (v > (std::numeric_limits<std::int64_t>::max() - (ch - '0')) / 10) return false;
    v = v * 10 + (ch - '0');
  }
  out = negative ? -v : v;
  return true;
}

}  // namespace

bool ParseFace(const std::string_view* tokens, std::size_t count, std::uint64_t vertex_count,
               std::vector<std::uint32_t>& polygon) {
  polygon.clear();
  if (count < 3) return false;
  const auto n = static_cast<std::int64_t>(
      std::min<std::uint64_t>(vertex_count, std::numeric_limits<std::uint32_t>::max()));
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view corner = tokens[i];
    // Up to two slashes; the texture and normal references may be empty
    // (exporters write "a/" for a corner without texture) and must otherwise
    // be numbers, though only the vertex is used.
    std::string_view parts[3];
    std::size_t parts_count = 0;
    for (;;) {
      const std::size_t slash = corner.find('/');
      if (parts_count == 3) return false;
      parts[parts_count++] = corner.substr(0, slash);
      if (slash == std::string_view::npos) break;
      corner.remove_prefix(slash + 1);
    }
    std::int64_t v = 0, unused = 0;
    if (!ParseIndex(parts[0], v) || v == 0) return false;
    for (std::size_t k = 1; k < parts_count; ++k) {
      if (!parts[k].empty() && !ParseIndex(parts[k], unused)) return false;
    }
    const std::int64_t index = v > 0 ? v - 1 : n + v;
    if (index < 0 || index >= n) return false;
    polygon.push_back(static_cast<std::uint32_t>(index));
  }
  return true;
}

void FanTriangulate(const std::vector<std::uint32_t>& polygon,
                    std::vector<geometry::Triangle>& out) {
  for (std::size_t i = 1; i + 1 < polygon.size(); ++i) {
    const geometry::Triangle t{polygon[0], polygon[i], polygon[i + 1]};
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) continue;
    out.push_back(t);
  }
}

}  // namespace korvane::obj
