// A similarity matrix told as a person reads it: scale, turn and shift.
#pragma once

#include "geometry/geometry.h"

namespace korvane::matrix {

struct SimilarityParts {
  double scale = 0.0;      // cube root of the linear part's determinant
  geometry::Vector3 axis;  // unit length; (1, 0, 0) when there is no turn
  double degrees = 0.0;    // 0 to 180
  geometry::Vector3 translation;
};

// m = Translation(translation) * Rotation(axis, degrees) * Scaling(scale) when m
// is a similarity; for other matrices the turn is that of the nearest reading.
SimilarityParts Decompose(const geometry::Matrix4& m);

}  // namespace korvane::matrix
