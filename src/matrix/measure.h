// Measuring the motion between a mesh and its moved copy by the three
// reference vertices of each.
#pragma once

#include "geometry/affine.h"
#include "obj/obj_document.h"

namespace korvane::matrix {

// What measuring two meshes found.
struct Measurement {
  bool sameTopology = false;
  obj::ObjDocument base;
  obj::ObjDocument transformed;
  geometry::AffineAnalysis analysis;
};

// Chooses the reference vertices of two loaded documents (equal vertex counts:
// the axis rule on the base, whose indices the moved mesh shares; otherwise
// the exhaustive rule on each) and analyses them. Raises the not-analysed
// misuse error when a mesh has no three distinct reference vertices, and the
// analysis' refusal for degenerate triangles.
Measurement Measure(obj::ObjDocument base, obj::ObjDocument transformed);

}  // namespace korvane::matrix
