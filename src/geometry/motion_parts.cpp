#include "geometry/motion_parts.h"

#include <Eigen/QR>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>

namespace korvane::geometry {
namespace {

bool Equal(double a, double b) {
  return std::fabs(a - b) <= kUniformStretch * std::max(std::fabs(a), std::fabs(b));
}

// The same line, pointing the way its largest coordinate is positive, so that
// equal matrices read alike whatever sign the solver chose.
Vector3 Signed(const Vector3& v) {
  Eigen::Index i = 0;
  v.cwiseAbs().maxCoeff(&i);
  return v[i] < 0.0 ? Vector3(-v) : v;
}

// Two axes at right angles in the plane normal to `normal`: the coordinate
// axis that lies most in the plane, and the one that completes the turn.
void PlaneAxes(const Vector3& normal, Vector3& first, Vector3& second) {
  Eigen::Index k = 0;
  normal.cwiseAbs().minCoeff(&k);
  first = Signed((Vector3::Unit(k) - normal[k] * normal).normalized());
  second = Signed(normal.cross(first).normalized());
}

}  // namespace

const char* MotionKindName(MotionKind kind) {
  switch (kind) {
    case MotionKind::rigid:
      return "rigid";
    case MotionKind::similarity:
      return "similarity";
    case MotionKind::affine:
      return "affine";
  }
  return "";
}

MotionParts DecomposeMotion(const Matrix4& m) {
  MotionParts p;
  p.translation = m.translation();
  const Eigen::Matrix3d l = m.linear();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(l, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d r = svd.matrixU() * svd.matrixV().transpose();
  double s = svd.singularValues().mean();
  // In three dimensions -R is proper when R is not: a mirror is a negative scale.
  const double sign = r.determinant() < 0.0 ? -1.0 : 1.0;
  r *= sign;
  s *= sign;
  p.scale = s;
  // Through the quaternion, which stays accurate near 0 and 180 degrees.
  const Eigen::AngleAxisd aa(r);
  p.angleDegrees = aa.angle() * (180.0 / kPi);
  if (aa.angle() != 0.0) p.axis = aa.axis().normalized();

  // A = U D V^T = (U V^T)(V D V^T): the stretches are the singular values
  // along V's columns, with the sign that made the turn proper.
  const Vector3 d = svd.singularValues();
  p.mirror = sign < 0.0;
  p.stretches = sign * d;
  const Eigen::Matrix3d v = svd.matrixV();
  if (Equal(d[0], d[2])) {
    p.kind = Equal(d[0], 1.0) && Equal(d[2], 1.0) ? MotionKind::rigid : MotionKind::similarity;
  } else {
    p.kind = MotionKind::affine;
    Vector3 a0 = v.col(0), a1 = v.col(1), a2 = v.col(2);
    if (Equal(d[0], d[1])) {
      PlaneAxes(a2, a0, a1);
    } else if (Equal(d[1], d[2])) {
      PlaneAxes(a0, a1, a2);
    }
    p.axes.col(0) = Signed(a0);
    p.axes.col(1) = Signed(a1);
    p.axes.col(2) = Signed(a2);
  }

  // Householder QR gives the triangle of Gram-Schmidt up to the signs of its
  // rows, which the ratios below do not see.
  const Eigen::Matrix3d t =
      Eigen::HouseholderQR<Eigen::Matrix3d>(l).matrixQR().triangularView<Eigen::Upper>();
  if (p.kind == MotionKind::affine) {
    p.shear = Vector3(t(0, 1) / t(0, 0), t(0, 2) / t(0, 0), t(1, 2) / t(1, 1));
    // Rounding, not shear: "no shear" reads as zeros.
    for (double& h : p.shear) h = std::fabs(h) <= kUniformStretch ? 0.0 : h;
  }
  return p;
}

}  // namespace korvane::geometry
