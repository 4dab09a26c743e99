#pragma once

#include <string>

namespace korvane {

// "Version\n0.1.1\n\nworkDirectory\n<dir>\n\nALDir\n<dir>\n\n": nine lines, LF only.
std::string BuildStatusText();

}  // namespace korvane
