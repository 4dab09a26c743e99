#include "geometry/pair_solve.h"

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>
#include <optional>

#include "geometry/fit_options.h"
#include "geometry/point_sets.h"
#include "geometry/rejection.h"
#include "text/error.h"

namespace korvane::geometry {

namespace {

// The means of the kept pairs' two ends.
struct PairMeans {
  Vector3 src = Vector3::Zero(), dst = Vector3::Zero();
  double one_over_n = 0.0;
};
PairMeans MeansOf(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                  const std::vector<char>& mask, std::size_t keep) {
  PairMeans m;
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!mask.empty() && mask[i] == 0) continue;
    m.src += src[i];
    m.dst += dst[i];
  }
  m.one_over_n = 1.0 / static_cast<double>(keep);
  m.src *= m.one_over_n;
  m.dst *= m.one_over_n;
  return m;
}

// The affine map carrying src[i] onto dst[i] as closely as squares go: the
// cross-covariance over the source's covariance. Along a direction in which
// the source hardly spreads (a flat plate's normal) that quotient is noise
// over nothing, and could even flip the plate into a mirror image: there the
// similarity's map is kept.
Matrix4 AffinePairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                         const std::vector<char>& mask, std::size_t keep, bool mirrored) {
  const auto kept = [&](std::size_t i) { return mask.empty() || mask[i] != 0; };
  const PairMeans means = MeansOf(src, dst, mask, keep);
  const Vector3& ms = means.src;
  const Vector3& md = means.dst;
  Eigen::Matrix3d sigma = Eigen::Matrix3d::Zero(), cov = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    const Vector3 a = src[i] - ms;
    sigma += (dst[i] - md) * a.transpose();
    cov += a * a.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(cov);
  const Eigen::Matrix3d& v = es.eigenvectors();
  const Vector3& lambda = es.eigenvalues();
  Eigen::Matrix3d image;  // where the linear part sends each of v's columns
  std::optional<Eigen::Matrix3d> similar;
  for (int k = 0; k < 3; ++k) {
    if (lambda[k] > kFlatVariance * lambda[2]) {
      image.col(k) = sigma * v.col(k) / lambda[k];
      continue;
    }
    if (!similar)
      similar = PairMotion(src, dst, mask, keep, Freedom{true, mirrored, false}).linear();
    image.col(k) = *similar * v.col(k);
  }
  Matrix4 m = Matrix4::Identity();
  m.linear() = image * v.transpose();
  m.translation() = md - m.linear() * ms;
  return m;
}

// Umeyama's motion from the pairs' cross-covariance and the source's
// variance about the means (weighted or not, scaled alike): the nearest turn,
// a proper one unless mirrors are free, and the scale when it is.
Matrix4 UmeyamaMotion(const Eigen::Matrix3d& sigma, double var, const Vector3& ms,
                      const Vector3& md, Freedom freedom) {
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

}  // namespace

Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                   const std::vector<char>& mask, std::size_t keep, Freedom freedom) {
  if (freedom.affine) return AffinePairMotion(src, dst, mask, keep, freedom.mirrored);
  const auto kept = [&](std::size_t i) { return mask.empty() || mask[i] != 0; };
  const PairMeans means = MeansOf(src, dst, mask, keep);
  const Vector3& ms = means.src;
  const Vector3& md = means.dst;
  Eigen::Matrix3d sigma = Eigen::Matrix3d::Zero();
  double var = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    const Vector3 a = src[i] - ms;
    sigma += (dst[i] - md) * a.transpose();
    var += a.squaredNorm();
  }
  sigma *= means.one_over_n;
  var *= means.one_over_n;
  return UmeyamaMotion(sigma, var, ms, md, freedom);
}

Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst, bool scaled) {
  return PairMotion(src, dst, {}, src.size(), Freedom{scaled, false});
}

Matrix4 WeightedPairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                           const std::vector<double>& weights, Freedom freedom) {
  if (freedom.affine) {
    std::vector<char> mask(weights.size());
    std::size_t keep = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
      mask[i] = weights[i] >= 0.5;
      if (mask[i]) ++keep;
    }
    return PairMotion(src, dst, mask, keep, freedom);
  }
  double total = 0.0;
  Vector3 ms = Vector3::Zero(), md = Vector3::Zero();
  for (std::size_t i = 0; i < src.size(); ++i) {
    total += weights[i];
    ms += weights[i] * src[i];
    md += weights[i] * dst[i];
  }
  ms /= total;
  md /= total;
  Eigen::Matrix3d sigma = Eigen::Matrix3d::Zero();
  double var = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    const Vector3 a = src[i] - ms;
    sigma += weights[i] * (dst[i] - md) * a.transpose();
    var += weights[i] * a.squaredNorm();
  }
  return UmeyamaMotion(sigma, var, ms, md, freedom);
}

Matrix4 LeastSquaresMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                           double trim, Freedom freedom) {
  CheckFittable(base, text::MeshRole::base);
  CheckFittable(moved, text::MeshRole::moved);
  if (base.size() != moved.size()) {
    throw Error(text::Refusal{
        text::Reason::pairs_need_same_count, text::MeshRole::none, {base.size(), moved.size()}});
  }
  if (!(trim >= 0.0 && trim <= kMostTrim))
    throw Error(text::Refusal{text::Reason::trim_out_of_range});
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
