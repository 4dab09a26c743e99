// The similarity transform that carries one mesh onto its moved copy, found
// from the three reference vertices of each.
#pragma once

#include "geometry/geometry.h"

namespace korvane::geometry {

// The six reference positions: A, B, C of the base and of the moved mesh.
struct ReferenceTriangles {
  Vector3 pa, pb, pc;
  Vector3 qa, qb, qc;
};

// Intermediate quantities, for reports and tests.
struct AffineAnalysis {
  Matrix4 matrix;
  double scale = 0.0;
  Vector3 axis1, axis2;
  double angle1 = 0.0, angle2 = 0.0;
};

// Translation(Q_A) * R2 * R1 * Scaling(s) * Translation(-P_A). Degenerate
// input (A and B coinciding, reference vertices on one line, a result that is
// not finite) is refused with korvane::Error (kind refused) whose message
// names the reason.
AffineAnalysis AnalyzeTriangles(const ReferenceTriangles& t);

}  // namespace korvane::geometry
