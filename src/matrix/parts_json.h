// The parts of a motion beyond a similarity's, as the JSON reports write them.
#pragma once

#include <nlohmann/json.hpp>

#include "geometry/motion_parts.h"

namespace korvane::matrix {

// null for a similarity (its scale, rotation and translation say it all);
// otherwise {"stretches": [3 numbers], "axes": [3 unit vectors, one for each
// stretch], "shear": {"xy", "xz", "yz"}}, as geometry::MotionParts defines them.
nlohmann::ordered_json DecompositionJson(const geometry::MotionParts& p);

}  // namespace korvane::matrix
