#include "geometry/whitened.h"

#include <Eigen/Eigenvalues>
#include <optional>

#include "geometry/point_sets.h"

namespace korvane::geometry {
namespace {

struct Whitened {
  Vector3 centroid;
  Eigen::Matrix3d root;     // the covariance's square root
  Eigen::Matrix3d inverse;  // and its inverse: the whitening
  Eigen::Matrix3d frame;    // eigenvectors of the whitened fourth moments, as columns
};

// Eigenvalues closer than this share of the largest leave no frame.
constexpr double kDistinct = 1e-3;

std::optional<Whitened> Whiten(const std::vector<Vector3>& v) {
  if (v.size() < 4) return std::nullopt;
  const Frame f = PrincipalFrame(v);
  if (!(f.variances[0] > kFlatVariance * f.variances[2])) return std::nullopt;
  Whitened w;
  w.centroid = f.centroid;
  const Vector3 s = f.variances.cwiseSqrt();
  w.root = f.axes * s.asDiagonal() * f.axes.transpose();
  w.inverse = f.axes * s.cwiseInverse().asDiagonal() * f.axes.transpose();
  // Whitened, every direction has unit variance: the second moments are
  // the same whatever the turn. The fourth, weighted by the squared
  // distance, turn with the shape and differ along its axes.
  Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
  for (const Vector3& p : v) {
    const Vector3 x = w.inverse * (p - w.centroid);
    m += x.squaredNorm() * x * x.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(m / static_cast<double>(v.size()));
  const Vector3 e = es.eigenvalues();
  if (!(e[1] - e[0] > kDistinct * e[2] && e[2] - e[1] > kDistinct * e[2])) return std::nullopt;
  w.frame = es.eigenvectors();
  return w;
}

}  // namespace

std::vector<Matrix4> WhitenedStarts(const std::vector<Vector3>& base,
                                    const std::vector<Vector3>& target, bool mirrored) {
  const std::optional<Whitened> p = Whiten(base);
  const std::optional<Whitened> q = Whiten(target);
  if (!p || !q) return {};
  std::vector<Matrix4> out;
  for (int signs = 0; signs < 8; ++signs) {
    const Vector3 s(signs & 1 ? -1.0 : 1.0, signs & 2 ? -1.0 : 1.0, signs & 4 ? -1.0 : 1.0);
    const Eigen::Matrix3d turn = q->frame * s.asDiagonal() * p->frame.transpose();
    if ((turn.determinant() < 0.0) != mirrored) continue;
    Matrix4 m = Matrix4::Identity();
    m.linear() = q->root * turn * p->inverse;
    m.translation() = q->centroid - m.linear() * p->centroid;
    if (m.matrix().allFinite()) out.push_back(m);
  }
  return out;
}

}  // namespace korvane::geometry
