#include "geometry/geometry.h"

namespace korvane {

int CalcRotationSign(const Vector3& a, const Vector3& b, const Vector3& n) {
  const double s = n.dot(a.cross(n).cross(b.cross(n)));
  return s > 0.0 ? 1 : -1;
}

Matrix4 IdentityMatrix4() {
  Matrix4 m;
  m.matrix().setIdentity();
  return m;
}

}  // namespace korvane
