#include "matrix/similarity_parts.h"

#include <cmath>

namespace korvane::matrix {

SimilarityParts Decompose(const geometry::Matrix4& m) {
  SimilarityParts parts;
  const Eigen::Matrix3d linear = m.linear();
  parts.scale = std::cbrt(linear.determinant());
  const Eigen::AngleAxisd turn(Eigen::Matrix3d(linear / parts.scale));
  parts.axis = turn.axis();
  parts.degrees = turn.angle() * 180.0 / geometry::kPi;
  parts.translation = m.translation();
  return parts;
}

}  // namespace korvane::matrix
