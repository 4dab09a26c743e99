#include "geometry/geometry.h"

#include <algorithm>

namespace korvane::geometry {

int CalcRotationSign(const Vector3& a, const Vector3& b, const Vector3& n) {
  const double s = n.dot(a.cross(n).cross(b.cross(n)));
  return s > 0.0 ? 1 : -1;
}

Matrix4 IdentityMatrix4() {
  Matrix4 m;
  m.matrix().setIdentity();
  return m;
}

Vector3 TransformPoint(const Matrix4& m, const Vector3& p) {
  const auto& a = m.matrix();
  return Vector3(((a(0, 0) * p.x() + a(0, 1) * p.y()) + a(0, 2) * p.z()) + a(0, 3),
                 ((a(1, 0) * p.x() + a(1, 1) * p.y()) + a(1, 2) * p.z()) + a(1, 3),
                 ((a(2, 0) * p.x() + a(2, 1) * p.y()) + a(2, 2) * p.z()) + a(2, 3));
}

double CornerShift(const Eigen::AlignedBox3d& box, const Matrix4& a, const Matrix4& b) {
  double worst = 0.0;
  for (int k = 0; k < 8; ++k) {
    const Vector3 c = box.corner(static_cast<Eigen::AlignedBox3d::CornerType>(k));
    worst = std::max(worst, (TransformPoint(a, c) - TransformPoint(b, c)).norm());
  }
  return worst;
}

}  // namespace korvane::geometry
