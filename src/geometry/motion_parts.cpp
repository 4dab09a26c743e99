#include "geometry/motion_parts.h"

#include <Eigen/SVD>

namespace korvane::geometry {

MotionParts DecomposeMotion(const Matrix4& m) {
  MotionParts p;
  p.translation = m.translation();
  const Eigen::Matrix3d l = m.linear();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(l, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d r = svd.matrixU() * svd.matrixV().transpose();
  double s = svd.singularValues().mean();
  // In three dimensions -R is proper when R is not: a mirror is a negative scale.
  if (r.determinant() < 0.0) {
    r = -r;
    s = -s;
  }
  p.scale = s;
  // Through the quaternion, which stays accurate near 0 and 180 degrees.
  const Eigen::AngleAxisd aa(r);
  p.angleDegrees = aa.angle() * (180.0 / kPi);
  if (aa.angle() != 0.0) p.axis = aa.axis().normalized();
  return p;
}

}  // namespace korvane::geometry
