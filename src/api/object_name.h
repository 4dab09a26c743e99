#pragma once

#include <string>

namespace korvane::api {

// The bare object name in a host text: the directory part (up to the last
// slash or backslash) is removed, then everything from the first "__" that has
// at least one character after it. "C:\dir\Body__part2" gives "Body".
std::string ExtractObjectName(const std::string& text);

}  // namespace korvane::api
