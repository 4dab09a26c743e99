#pragma once

#include <string>

namespace korvane::api {

// "Version\n<version>\n\nworkDirectory\n<dir>\n\nALDir\n<dir>\n\n": nine lines, LF only.
std::string BuildStatusText();

}  // namespace korvane::api
