// A motion taken apart for reports.
#pragma once

#include "geometry/geometry.h"

namespace korvane::geometry {

// A similarity taken apart for reports: m = Translation(translation) *
// AngleAxis(angle, axis) * Scaling(scale). A mirroring matrix gets a negative
// scale (and the proper rotation that goes with it).
struct MotionParts {
  double scale = 1.0;
  Vector3 axis = Vector3::UnitX();  // unit; x for a zero angle
  double angleDegrees = 0.0;        // in [0, 180]
  Vector3 translation = Vector3::Zero();
};
MotionParts DecomposeMotion(const Matrix4& m);

}  // namespace korvane::geometry
