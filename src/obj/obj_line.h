// How one OBJ line is split and how a vertex line is read and rewritten. The
// record class, the document and the streaming commands all use these, so the
// rules live in one place.
#pragma once

#include <cstddef>
#include <string_view>

#include "geometry/geometry.h"
#include "text/numbers.h"

namespace korvane::obj {

// Calls f(token) for every non-empty piece between space characters (0x20
// only: tabs and carriage returns are ordinary bytes).
template <class F>
void ForEachToken(std::string_view line, F&& f) {
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p != end) {
    while (p != end && *p == ' ') ++p;
    if (p == end) break;
    const char* start = p;
    while (p != end && *p != ' ') ++p;
    f(std::string_view(start, static_cast<std::size_t>(p - start)));
  }
}

// The record kind of a line whose first token is `first`: "#" for comments,
// otherwise the token itself.
inline std::string_view KeywordOf(std::string_view first) {
  return !first.empty() && first[0] == '#' ? std::string_view("#") : first;
}

inline bool IsVertexKeyword(std::string_view keyword) { return keyword == "v"; }

// Outcome of reading the three coordinates of a vertex line.
struct VertexRead {
  Vector3 position;
  text::ParseStatus status = text::ParseStatus::ok;
};

// Converts coordinate tokens in order x, y, z; the first failure wins. A
// missing coordinate counts as an invalid number. `coords` holds `count`
// tokens (those after the keyword).
VertexRead ReadVertex(const std::string_view* coords, std::size_t count);

}  // namespace korvane::obj
