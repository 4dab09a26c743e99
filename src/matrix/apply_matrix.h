#pragma once

#include <optional>
#include <string>

#include "geometry/geometry.h"

namespace korvane {

// The matrix a replay uses: the file at `path` parsed, inverted when asked.
// Shows "active.matrix オープン失敗" and returns nullopt when the file cannot
// be opened. A matrix that is not finite, or cannot be inverted, is refused.
std::optional<Matrix4> LoadMotion(const std::string& path, bool inverse);

// The motion in a matrix text read from `source_name`, inverted when asked;
// refuses what LoadMotion refuses.
Matrix4 MotionFromText(const std::string& text, const std::string& source_name, bool inverse);

}  // namespace korvane
