// The motion a replay uses: a matrix file read, checked and inverted when asked.
#pragma once

#include <string>

#include "geometry/geometry.h"

namespace korvane::matrix {

// The matrix file at `path` parsed, inverted when `inverse`; raises
// Error::Kind::cannot_open when the file cannot be opened. Refuses (korvane::Error, kind refused) a file that
// gives no coefficient at all, a matrix that is not finite, or one that
// cannot be inverted when the inverse is asked for.
geometry::Matrix4 LoadMotion(const std::string& path, bool inverse);

// The same for matrix text read from `source_name`.
geometry::Matrix4 MotionFromText(const std::string& text, const std::string& source_name,
                                 bool inverse);

// The same checks and inversion for a matrix given as numbers.
geometry::Matrix4 CheckedMotion(const geometry::Matrix4& m, const std::string& source_name,
                                bool inverse);

}  // namespace korvane::matrix
