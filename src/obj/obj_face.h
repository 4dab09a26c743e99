// Faces of an OBJ file as vertex indices, for measuring against the surface
// of a mesh. Only the vertex reference of each corner is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "geometry/spatial.h"

namespace korvane::obj {

// Reads the corners of an "f" line: `tokens` are the `count` words after the
// keyword, `vertex_count` the number of "v" lines read so far. Corner forms
// "a", "a/b", "a//c", "a/b/c" (b and c may be empty, as in "a/"); a negative
// a counts back from the last vertex read (-1 is the last). Fills `polygon` with 0-based vertex
// indices and returns true; returns false (the face is to be skipped) for fewer than three corners,
// a malformed corner, index 0, or a vertex not yet read.
bool ParseFace(const std::string_view* tokens, std::size_t count, std::uint64_t vertex_count,
               std::vector<std::uint32_t>& polygon);

// Appends the fan (p0, p[i], p[i+1]) of a polygon to `out`, leaving out
// triangles with a repeated corner. Nothing for fewer than three corners.
void FanTriangulate(const std::vector<std::uint32_t>& polygon,
                    std::vector<geometry::Triangle>& out);

}  // namespace korvane::obj
