// The commands that read meshes: CalcMatrix, ApplyMatrix, ApplyMatrixInverse,
// and the measuring they share with the command-line host.
#pragma once

#include <string>

#include "matrix/measure.h"

namespace korvane::api {

// Loads both meshes' vertices (a file that cannot be opened is shown in the
// open-failure box and leaves no vertices), prints the topology line and
// measures. A degenerate measurement is refused with a message that says
// `output` was not changed.
matrix::Measurement MeasureFiles(const std::string& base_path, const std::string& transformed_path,
                                 const std::string& output);

}  // namespace korvane::api
