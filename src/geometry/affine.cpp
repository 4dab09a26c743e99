#include "geometry/affine.h"

#include <cmath>

#include "text/error.h"

namespace korvane::geometry {
namespace {

// Rounding can carry a cosine a hair past +-1, where acos gives NaN.
double ClampedAcos(double cosine) { return std::acos(std::fmax(-1.0, std::fmin(1.0, cosine))); }

[[noreturn]] void Refuse(text::Reason reason) { throw Error(text::Refusal{reason}); }

// The coordinate axis on which u has its smallest magnitude (x, then y, then z
// on ties): crossing u with it gives an axis well away from u.
Vector3 LeastAlignedAxis(const Vector3& u) {
  const Vector3 a = u.cwiseAbs();
  if (a.x() <= a.y() && a.x() <= a.z()) return Vector3::UnitX();
  if (a.y() <= a.z()) return Vector3::UnitY();
  return Vector3::UnitZ();
}

}  // namespace

AffineAnalysis AnalyzeTriangles(const ReferenceTriangles& t) {
  const Vector3 u = t.pb - t.pa;
  const Vector3 u2 = t.qb - t.qa;
  if (u.squaredNorm() == 0.0) Refuse(text::Reason::base_ab_coincide);
  if (u2.squaredNorm() == 0.0) Refuse(text::Reason::moved_ab_coincide);
  const Vector3 v = t.pc - t.pa;
  const Vector3 v2 = t.qc - t.qa;

  AffineAnalysis r;
  const double s = u2.norm() / u.norm();
  r.scale = s;

  // First turn: the direction of u onto the direction of u'.
  const Vector3 n1 = u.cross(u2);
  Vector3 k1 = n1.normalized();
  const int sigma1 = CalcRotationSign(u, u2, n1);
  double theta1 = sigma1 * ClampedAcos(u.dot(u2) / (u.norm() * u2.norm()));
  if (n1.squaredNorm() == 0.0 && u.dot(u2) < 0.0) {
    // Opposite directions leave no axis: any axis across u gives the half turn.
    theta1 = kPi;
    k1 = u.cross(LeastAlignedAxis(u)).normalized();
  }
  const Eigen::Quaterniond q1(Eigen::AngleAxisd(theta1, k1));

  // The base A->C after scaling and the first turn.
  const Matrix4 t1(q1 * Eigen::Scaling(s, s, s));
  const Vector3 v1 = (t1.matrix() * v.homogeneous()).head<3>();

  // Second turn, about the moved A->B line: plane onto plane.
  const Vector3 na = u2.cross(v1);
  const Vector3 nb = u2.cross(v2);
  if (na.squaredNorm() == 0.0) Refuse(text::Reason::base_on_one_line);
  if (nb.squaredNorm() == 0.0) Refuse(text::Reason::moved_on_one_line);
  const int sigma2 = CalcRotationSign(na, nb, u2);
  const double theta2 = sigma2 * ClampedAcos(na.dot(nb) / (nb.norm() * na.norm()));
  const Vector3 k2 = u2.normalized();
  const Eigen::Quaterniond q2(Eigen::AngleAxisd(theta2, k2));

  Matrix4 m = Eigen::Translation3d(t.qa) * q2;
  m.rotate(q1);
  m = m * Eigen::Scaling(s, s, s);
  m.translate(-t.pa);
  m.makeAffine();
  if (!m.matrix().allFinite()) Refuse(text::Reason::result_not_finite);

  r.matrix = m;
  r.axis1 = k1;
  r.angle1 = theta1;
  r.axis2 = k2;
  r.angle2 = theta2;
  return r;
}

}  // namespace korvane::geometry
