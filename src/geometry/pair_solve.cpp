#include "geometry/pair_solve.h"

#include <Eigen/SVD>

#include "geometry/fit_options.h"
#include "geometry/point_sets.h"
#include "geometry/rejection.h"
#include "text/error.h"

namespace korvane::geometry {

Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                   const std::vector<char>& mask, std::size_t keep, Freedom freedom) {
  const auto kept = [&](std::size_t i) { return mask.empty() || mask[i] != 0; };
  Vector3 ms = Vector3::Zero(), md = Vector3::Zero();
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    ms += src[i];
    md += dst[i];
  }
  const double one_over_n = 1.0 / static_cast<double>(keep);
  ms *= one_over_n;
  md *= one_over_n;
  Eigen::Matrix3d sigma = Eigen::Matrix3d::Zero();
  double var = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    const Vector3 a = src[i] - ms;
    sigma += (dst[i] - md) * a.transpose();
    var += a.squaredNorm();
  }
  sigma *= one_over_n;
  var *= one_over_n;
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(sigma, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Vector3 signs = Vector3::Ones();
  if (!freedom.mirrored && svd.matrixU().determinant() * svd.matrixV().determinant() < 0.0)
    signs(2) = -1.0;
  const Eigen::Matrix3d r = svd.matrixU() * signs.asDiagonal() * svd.matrixV().transpose();
  // Without a scale, Umeyama's turn and shift with c = 1.
  const double c = freedom.scaled ? svd.singularValues().dot(signs) / var : 1.0;
  Matrix4 m = Matrix4::Identity();
  m.linear() = c * r;
  m.translation() = md - c * r * ms;
  return m;
}

Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst, bool scaled) {
  return PairMotion(src, dst, {}, src.size(), Freedom{scaled, false});
}

Matrix4 LeastSquaresMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                           double trim, bool scaled) {
  CheckFittable(base, text::MeshRole::base);
  CheckFittable(moved, text::MeshRole::moved);
  if (base.size() != moved.size()) {
    throw Error(text::Refusal{
        text::Reason::pairs_need_same_count, text::MeshRole::none, {base.size(), moved.size()}});
  }
  if (!(trim >= 0.0 && trim <= kMostTrim))
    throw Error(text::Refusal{text::Reason::trim_out_of_range});
  const Freedom freedom{scaled, false};
  Matrix4 m = PairMotion(base, moved, {}, base.size(), freedom);
  const std::size_t keep = KeptCount(base.size(), trim);
  if (keep < base.size() && m.matrix().allFinite()) {
    std::vector<double> d(base.size());
    for (std::size_t i = 0; i < base.size(); ++i)
      d[i] = (TransformPoint(m, base[i]) - moved[i]).norm();
    m = PairMotion(base, moved, KeepSmallest(d, keep), keep, freedom);
  }
  if (!m.matrix().allFinite()) throw Error(text::Refusal{text::Reason::least_squares_not_finite});
  return m;
}

}  // namespace korvane::geometry
