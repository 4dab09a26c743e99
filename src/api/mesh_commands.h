// The commands that read meshes: CalcMatrix, ApplyMatrix, ApplyMatrixInverse,
// and the measuring they share with the command-line host.
#pragma once

#include <string>

#include "geometry/fit.h"

namespace korvane::api {

struct Measurement {
  bool sameTopology = false;
  geometry::ThreePoint motion;
};

// Loads both meshes' vertices (a file that cannot be opened is shown in the
// open-failure box and leaves no vertices), prints the topology line and
// measures by the three-point rule, the one `korvane calc --fit three-point`
// uses. A mesh without three distinct reference vertices raises the fixed
// not-analysed text; another degenerate measurement is refused with a message
// that says `output` was not changed.
Measurement MeasureFiles(const std::string& base_path, const std::string& transformed_path,
                         const std::string& output);

}  // namespace korvane::api
