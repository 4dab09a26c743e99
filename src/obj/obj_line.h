// How one OBJ line is split and how a vertex line is read and rewritten. The
// streaming commands and the line model the tests hold them against both use
// these, so the rules live in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "geometry/geometry.h"
#include "text/lines.h"
#include "text/numbers.h"

namespace korvane::obj {

// The record kind of a line whose first token is `first`: "#" for comments,
// otherwise the token itself.
inline std::string_view KeywordOf(std::string_view first) {
  return !first.empty() && first[0] == '#' ? std::string_view("#") : first;
}

inline bool IsVertexKeyword(std::string_view keyword) { return keyword == "v"; }

// Outcome of reading the three coordinates of a vertex line.
struct VertexRead {
  geometry::Vector3 position;
  text::ParseStatus status = text::ParseStatus::ok;
  bool trailingText = false;  // a coordinate token went on past its number ("1,5", "2abc")
};

// Converts coordinate tokens in order x, y, z; the first failure wins. A
// missing coordinate counts as an invalid number. `coords` holds `count`
// tokens (those after the keyword).
VertexRead ReadVertex(const std::string_view* coords, std::size_t count);

// How an OBJ text begins: the length of a UTF-8 byte-order mark before its
// first line (0 or 3), which is not part of that line and is written back as
// it was. UTF-16 text, which would read as one line of nothing, is refused
// naming `source`.
std::size_t LeadingMarkLength(std::string_view start, const std::string& source);

// A finite vertex the motion carries out of the double range would be
// written as "inf" or "nan": refused, naming the file and line.
inline bool MovedOutOfRange(const geometry::Vector3& from, const geometry::Vector3& to) {
  return !to.allFinite() && from.allFinite();
}
[[noreturn]] void ThrowMovedOutOfRange(const std::string& source, std::uint64_t line_number);

}  // namespace korvane::obj
