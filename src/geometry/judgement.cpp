#include "geometry/judgement.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>

#include "geometry/distinct.h"
#include "geometry/mirror.h"
#include "geometry/point_sets.h"
#include "geometry/rejection.h"

namespace korvane::geometry {

namespace {

// An alternative stands only when its average distance is at most this many
// times the motion's own, plus the tolerance: a nearly symmetric part's
// turned pose can put 95% of the vertices on the surface while its feature
// (a keyway, a bump) stays off, and that feature is in the average.
constexpr double kAsWell = 1.5;
// Each distance counts up to this share of the size in the average, so that
// the vertices over a removed vertex's hole (in every pose) do not swamp it.
constexpr double kAverageCap = 1e-2;

// The capped mean distance of the share the verdict judges.
double AverageMiss(std::vector<double> d, const FitOptions& options, double size) {
  if (options.trim && *options.trim > 0.0)
    KeepSmallestValues(d, KeptCount(d.size(), *options.trim));
  if (d.empty()) return 0.0;
  double sum = 0.0;
  for (const double x : d) sum += std::min(x, kAverageCap * size);
  return sum / static_cast<double>(d.size());
}

}  // namespace

bool ScaleConsistent(double ratio) { return ratio >= 0.5 && ratio <= 2.0; }

namespace {

// An affine motion can squash the base flat onto a patch of the target, which
// its overall scale does not show: each principal spread of the moved base
// must be the target's, within the band a scale is held to. Across a flat
// target (a plate's thickness) there is nothing to compare.
bool SpreadsConsistent(const std::vector<Vector3>& base, const FitTarget& target,
                       const Matrix4& m) {
  const Frame fb = PrincipalFrame(base);
  const Frame ft = PrincipalFrame(target.vertices());
  const Eigen::Matrix3d cov = m.linear() * fb.axes * fb.variances.asDiagonal() *
                              fb.axes.transpose() * m.linear().transpose();
  const Vector3 moved = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(cov).eigenvalues();
  for (int k = 0; k < 3; ++k) {
    if (ft.variances[k] <= kFlatVariance * ft.variances[2]) continue;
    if (!ScaleConsistent(std::sqrt(moved[k] / ft.variances[k]))) return false;
  }
  return true;
}

}  // namespace

Stretch StretchOf(const Matrix4& m) {
  const Eigen::Matrix3d l = m.linear();
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(l * l.transpose());
  Stretch s;
  for (int k = 0; k < 3; ++k) {
    s.factors[k] = std::sqrt(std::max(0.0, es.eigenvalues()[2 - k]));
    Vector3 axis = es.eigenvectors().col(2 - k);
    Eigen::Index largest = 0;
    axis.cwiseAbs().maxCoeff(&largest);
    if (axis[largest] < 0.0) axis = -axis;
    s.axes.col(k) = axis;
  }
  return s;
}

FitResult Judge(const std::vector<Vector3>& base, double base_spread, const FitTarget& target,
                const Matrix4& m, const FitOptions& options) {
  FitResult r;
  r.matrix = m;
  std::vector<double> d;
  r.residuals = MeasureResiduals(base, target, m, options.threads, &d, options.tolerance);
  r.scaleRatio = ScaleOf(m) * base_spread / target.spread();
  const double size = target.size();
  const double near = options.tolerance * size;
  std::size_t within = 0;
  for (const double x : d) {
    if (x <= near) {
      ++within;
    } else {
      ++r.outliers;
      r.largestOutlier = std::max(r.largestOutlier, x);
    }
  }
  r.overlap = d.empty() ? 0.0 : static_cast<double>(within) / static_cast<double>(d.size());
  // A trim the caller chose judges the copy on the part it keeps (a partial copy);
  // ICP's own trim only steadies its steps.
  r.judgedP95Relative = r.residuals.surface.p95Relative;
  if (options.trim && *options.trim > 0.0 && !d.empty()) {
    r.judgedShare = 1.0 - *options.trim;
    const std::size_t keep = KeptCount(d.size(), *options.trim);
    std::vector<double> kept(d);
    KeepSmallestValues(kept, keep);
    r.judgedP95Relative = size > 0.0 ? Percentile95(std::move(kept)) / size : 0.0;
  }
  if (options.keepDistances) r.distances = std::move(d);
  r.mirror = m.linear().determinant() < 0.0;
  const bool fits_surface = r.judgedP95Relative <= options.tolerance;
  if (!options.allowMirror && ((options.Affine() && r.mirror && fits_surface) ||
                               MirrorImage(base, target, r.residuals, options, fits_surface))) {
    r.shortfall = Shortfall::mirror_image;
  } else if (!(r.judgedP95Relative <= options.tolerance)) {
    r.shortfall = Shortfall::residual;
  } else if (!ScaleConsistent(r.scaleRatio) ||
             (options.Affine() && !SpreadsConsistent(base, target, m))) {
    r.shortfall = Shortfall::scale;
  } else {
    r.shortfall = Shortfall::none;
  }
  r.fits = r.shortfall == Shortfall::none;
  if (options.Affine()) {
    const Vector3 var = PrincipalFrame(base).variances;
    r.flatBase = var[0] <= kFlatVariance * var[2];
  }
  const std::vector<Vector3>& w = target.vertices();
  if (base.size() != w.size()) {
    r.likelyCause = LikelyCause::vertices_added_or_removed;
  } else if (r.fits) {
    r.likelyCause = r.residuals.paired.p95Relative <= options.tolerance
                        ? LikelyCause::none
                        : LikelyCause::vertex_order_differs;
  } else {
    r.likelyCause = SameShapeIgnoringOrder(base, w, target.size(), options.tolerance)
                        ? LikelyCause::vertex_order_differs
                        : LikelyCause::not_a_similar_copy;
  }
  return r;
}

void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r) {
  r.ambiguous = false;
  r.alternatives.clear();
  // With equal counts, pairs that fit pin the motion down.
  if (!r.fits ||
      (r.residuals.paired.count > 0 && r.residuals.paired.p95Relative <= options.tolerance)) {
    return;
  }
  const double apart = options.tolerance * target.size();
  const std::size_t step = std::max<std::size_t>(1, base.size() / 4096);
  // Two motions differ when they put some base vertex more than the tolerance apart.
  const auto differ = [&](const Matrix4& a, const Matrix4& b) {
    for (std::size_t i = 0; i < base.size(); i += step) {
      if ((TransformPoint(a, base[i]) - TransformPoint(b, base[i])).norm() > apart) return true;
    }
    return false;
  };
  FitOptions quiet = options;
  quiet.keepDistances = true;
  double own_miss = -1.0;  // measured when a candidate first fits
  const double base_spread = Spread(base);
  // A few thousand vertices weed out the candidates that plainly miss before a full measure.
  std::vector<Vector3> sample;
  for (std::size_t i = 0; i < base.size(); i += step) sample.push_back(base[i]);
  std::vector<double> d;
  for (const Matrix4& c : r.candidates) {
    if (!differ(c, r.matrix)) continue;
    if (AlreadyKept(r.alternatives, c,
                    [&](const Alternative& a, const Matrix4& m) { return !differ(m, a.matrix); }))
      continue;
    target.DistancesFrom(c, sample, d, options.threads);
    if (options.trim && *options.trim > 0.0) {
      // Judged on the share kept, as the verdict is.
      const std::size_t keep = KeptCount(d.size(), *options.trim);
      KeepSmallestValues(d, keep);
    }
    if (!(Percentile95(d) <= 10.0 * apart)) continue;
    const FitResult e = Judge(base, base_spread, target, c, quiet);
    if (!e.fits) continue;
    if (own_miss < 0.0) {
      std::vector<double> own;
      target.DistancesFrom(r.matrix, base, own, options.threads);
      own_miss = AverageMiss(std::move(own), options, target.size());
    }
    if (AverageMiss(e.distances, options, target.size()) <= kAsWell * own_miss + apart)
      r.alternatives.push_back({c, e.residuals});
  }
  r.ambiguous = !r.alternatives.empty();
}

FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options) {
  CheckOptions(options);
  return Judge(base, Spread(base), target, m, options);
}

}  // namespace korvane::geometry
