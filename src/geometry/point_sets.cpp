#include "geometry/point_sets.h"

#include <Eigen/Eigenvalues>
#include <cmath>

#include "text/error.h"

namespace korvane::geometry {

void CheckFittable(const std::vector<Vector3>& v, text::MeshRole which) {
  const auto refuse = [which](text::Reason reason) { throw Error(text::Refusal{reason, which}); };
  if (v.empty()) refuse(text::Reason::no_vertices);
  if (v.size() < 3) refuse(text::Reason::fewer_than_three_vertices);
  for (const Vector3& p : v) {
    if (!p.allFinite()) refuse(text::Reason::non_finite_coordinate);
  }
  // The vertex farthest from the first spans at least half the mesh, so the
  // line through both is a fair reference for "everything on one line".
  const Vector3& a = v.front();
  std::size_t far = 0;
  double far_d = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = (v[i] - a).squaredNorm();
    if (d > far_d) {
      far_d = d;
      far = i;
    }
  }
  bool off_line = false;
  if (far_d > 0.0) {
    const Vector3 u = (v[far] - a) / std::sqrt(far_d);
    const double limit = 1e-18 * far_d;  // (1e-9 of the span)^2
    for (const Vector3& p : v) {
      const Vector3 w = p - a;
      if ((w - w.dot(u) * u).squaredNorm() > limit) {
        off_line = true;
        break;
      }
    }
  }
  if (!off_line) refuse(text::Reason::all_on_one_line);
}

Vector3 Centroid(const std::vector<Vector3>& v) {
  Vector3 c = Vector3::Zero();
  for (const Vector3& p : v) c += p;
  return c / static_cast<double>(v.size());
}

double Spread(const std::vector<Vector3>& v) {
  const Vector3 c = Centroid(v);
  double sum = 0.0;
  for (const Vector3& p : v) sum += (p - c).squaredNorm();
  return std::sqrt(sum / static_cast<double>(v.size()));
}

double BoundingDiagonal(const std::vector<Vector3>& v) {
  if (v.empty()) return 0.0;
  Eigen::AlignedBox3d box;
  for (const Vector3& p : v) box.extend(p);
  return box.diagonal().norm();
}

double ScaleOf(const Matrix4& m) { return std::cbrt(std::fabs(m.linear().determinant())); }

std::vector<Vector3> Subsample(const std::vector<Vector3>& v, std::size_t limit) {
  const std::size_t stride = (v.size() + limit - 1) / limit;
  std::vector<Vector3> out;
  out.reserve(v.size() / stride + 1);
  for (std::size_t i = 0; i < v.size(); i += stride) out.push_back(v[i]);
  return out;
}

Frame PrincipalFrame(const std::vector<Vector3>& v) {
  const Vector3 c = Centroid(v);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (const Vector3& p : v) {
    const Vector3 d = p - c;
    cov += d * d.transpose();
  }
  cov /= static_cast<double>(v.size());
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(cov);
  return {c, es.eigenvectors(), es.eigenvalues(), cov.trace()};
}

}  // namespace korvane::geometry
