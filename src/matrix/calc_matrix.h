#pragma once

#include <string>

#include "geometry/affine.h"
#include "geometry/farthest.h"
#include "obj/obj_document.h"

namespace korvane {

// What measuring two meshes found, for the command-line report.
struct Measurement {
  bool same_topology = false;
  ObjDocument base;
  ObjDocument transformed;
  AffineAnalysis analysis;
};

// Loads both meshes (vertex positions only), prints the topology line,
// chooses the reference vertices and analyses them. Throws on refusal.
Measurement MeasureMotion(const std::string& base_path, const std::string& transformed_path);

}  // namespace korvane
