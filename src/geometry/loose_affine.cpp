#include "geometry/loose_affine.h"

#include <Eigen/Eigenvalues>
#include <algorithm>

#include "geometry/judgement.h"
#include "geometry/point_sets.h"

namespace korvane::geometry {
namespace {

using Vector12 = Eigen::Matrix<double, 12, 1>;
using Matrix12 = Eigen::Matrix<double, 12, 12>;

// Base vertices the directions are weighed on, at most.
constexpr std::size_t kSample = 4096;
// Directions that move the sample less than this share of the most moving
// one are left out: across a flat base a stretch moves no vertex at all.
constexpr double kMoves = 1e-12;

}  // namespace

void JudgeLooseAffine(const std::vector<Vector3>& base, const FitTarget& target,
                      const FitOptions& options, const ReverseMeasure& reverse, FitResult& r) {
  if (!options.Affine() || !r.fits || !target.hasSurface()) return;
  if (r.residuals.paired.count > 0 && r.residuals.paired.p95Relative <= options.tolerance) return;
  const Matrix4& m = r.matrix;
  const std::size_t step = std::max<std::size_t>(1, base.size() / kSample);
  std::vector<Vector3> moved;
  for (std::size_t i = 0; i < base.size(); i += step) moved.push_back(TransformPoint(m, base[i]));
  std::vector<Vector3> points, normals;
  target.ClosestWithNormals(moved, points, normals, options.threads);
  const Vector3 c = Centroid(moved);
  const double spread = Spread(moved);
  if (!(spread > 0.0)) return;
  // A change of the twelve numbers (rows of the linear change, on offsets in
  // units of the spread, then the shift) moves a vertex by d; its distance
  // to the surface changes by n . d. `seen` sums the second, `moves` the first.
  Matrix12 seen = Matrix12::Zero();
  Matrix12 moves = Matrix12::Zero();
  for (std::size_t i = 0; i < moved.size(); ++i) {
    const Vector3 p = (moved[i] - c) / spread;
    const Vector3& n = normals[i];
    Vector12 j;
    j << n.x() * p, n.y() * p, n.z() * p, n;
    seen += j * j.transpose();
    for (int k = 0; k < 3; ++k) {
      Vector12 e = Vector12::Zero();
      e.segment<3>(3 * k) = p;
      e[9 + k] = 1.0;
      moves += e * e.transpose();
    }
  }
  // The direction with the least distance change per movement: the least
  // eigenvector of `seen` in the metric of `moves`, on the directions that move.
  const Eigen::SelfAdjointEigenSolver<Matrix12> mv(moves);
  const double most = mv.eigenvalues().maxCoeff();
  std::vector<Eigen::Index> kept;
  for (Eigen::Index k = 0; k < 12; ++k) {
    if (mv.eigenvalues()[k] > kMoves * most) kept.push_back(k);
  }
  Eigen::MatrixXd b(12, static_cast<Eigen::Index>(kept.size()));
  for (std::size_t k = 0; k < kept.size(); ++k)
    b.col(static_cast<Eigen::Index>(k)) =
        mv.eigenvectors().col(kept[k]) / std::sqrt(mv.eigenvalues()[kept[k]]);
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> least(b.transpose() * seen * b);
  const Vector12 v = b * least.eigenvectors().col(0);
  Eigen::Matrix3d e;
  e << v.segment<3>(0).transpose(), v.segment<3>(3).transpose(), v.segment<3>(6).transpose();
  e /= spread;
  const Vector3 shift = v.tail<3>();
  double farthest = 0.0;
  for (const Vector3& q : moved) farthest = std::max(farthest, (e * (q - c) + shift).norm());
  if (!(farthest > 0.0)) return;
  const double reach = kLooseTolerances * options.tolerance * target.size() / farthest;
  FitOptions quiet = options;
  quiet.keepDistances = false;
  const double base_spread = Spread(base);
  for (const double sign : {1.0, -1.0}) {
    Matrix4 change = Matrix4::Identity();
    change.linear() += sign * reach * e;
    change.translation() = sign * reach * (shift - e * c);
    Matrix4 other = change * m;
    other.makeAffine();
    if (!other.matrix().allFinite()) continue;
    FitResult o = Judge(base, base_spread, target, other, quiet, reverse);
    if (!o.fits) continue;
    r.alternatives.push_back({other, o.residuals});
    r.ambiguous = true;
    r.loose = true;
    return;
  }
}

}  // namespace korvane::geometry
