#include "geometry/judgement.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <optional>

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

// Room for rounding when two motions' means are compared: a copy written
// with six decimals.
constexpr double kRoundingSlack = kDefaultTolerance;

// Motions composed from those that fit, at most (every turn of a 64-sided
// prism onto itself).
constexpr std::size_t kMostComposed = 128;

// The relative 95th percentile of the share the verdict judges (all, or what the caller's trim
// keeps), of distances consumed.
double JudgedP95(std::vector<double> d, const FitOptions& options, double size) {
  if (d.empty() || !(size > 0.0)) return 0.0;
  if (options.trim && *options.trim > 0.0)
    KeepSmallestValues(d, KeptCount(d.size(), *options.trim));
  return Percentile95(std::move(d)) / size;
}

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
                const Matrix4& m, const FitOptions& options, const ReverseMeasure& reverse,
                std::vector<double>* reverse_distances) {
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
  r.judgedP95Relative = JudgedP95(d, options, size);
  if (options.trim && *options.trim > 0.0 && !d.empty()) r.judgedShare = 1.0 - *options.trim;
  if (options.keepDistances) r.distances = std::move(d);
  r.mirror = m.linear().determinant() < 0.0;
  const bool fits_surface = r.judgedP95Relative <= options.tolerance;
  // Pairs that fit put every copy vertex within its pair's distance of the
  // moved base: the reverse can only agree.
  const bool pairs_fit =
      r.residuals.paired.count > 0 && r.residuals.paired.p95Relative <= options.tolerance;
  bool covers = true;
  if (reverse_distances) reverse_distances->clear();
  if (fits_surface && !pairs_fit && reverse.Applies()) {
    std::vector<double> back;
    reverse.Distances(m, back);
    r.residuals.reverseToSurface = reverse.ToSurface();
    r.judgedReverseP95Relative = JudgedP95(back, options, size);
    covers = r.judgedReverseP95Relative <= options.reverseTolerance.value_or(options.tolerance);
    if (reverse_distances) *reverse_distances = back;
    r.residuals.reverse = ComputeResidualStats(std::move(back), size);
  }
  if (!options.allowMirror && ((options.Affine() && r.mirror && fits_surface) ||
                               MirrorImage(base, target, r.residuals, options, fits_surface))) {
    r.shortfall = Shortfall::mirror_image;
  } else if (!fits_surface) {
    r.shortfall = Shortfall::residual;
  } else if (!ScaleConsistent(r.scaleRatio) ||
             (options.Affine() && !SpreadsConsistent(base, target, m))) {
    r.shortfall = Shortfall::scale;
  } else if (!covers) {
    r.shortfall = Shortfall::coverage;
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
    r.likelyCause = pairs_fit ? LikelyCause::none : LikelyCause::vertex_order_differs;
  } else {
    r.likelyCause = SameShapeIgnoringOrder(base, w, target.size(), options.tolerance)
                        ? LikelyCause::vertex_order_differs
                        : LikelyCause::not_a_similar_copy;
  }
  return r;
}

namespace {

// A motion that fits, with its capped mean distances both ways (the reverse
// 0 when the pairs made it needless).
struct Weighed {
  FitResult result;
  double forward = 0.0;
  double backward = 0.0;
};

}  // namespace

void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r, const ReverseMeasure* reverse,
                    const Refine& refine) {
  r.ambiguous = false;
  r.alternatives.clear();
  // With equal counts, pairs that fit pin the motion down. A motion that
  // misses stays a miss: a lower-ranked candidate that passes is as likely
  // a wrong pose the copy's roughness hides.
  if (!r.fits ||
      (r.residuals.paired.count > 0 && r.residuals.paired.p95Relative <= options.tolerance))
    return;
  std::optional<ReverseMeasure> own_reverse;
  if (!reverse) reverse = &own_reverse.emplace(base, TrianglesSource(), target, options.threads);
  const double size = target.size();
  const double apart = options.tolerance * size;
  // A candidate leads only when clearly closer with room for rounding alone:
  // under a loose tolerance a wrong turn of a scan is otherwise as good as
  // any. Alternatives stand with the whole tolerance's room, so that what
  // the copy cannot tell apart is still offered.
  const double slack = std::min(apart, kRoundingSlack * size);
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
  const double base_spread = Spread(base);
  const auto weigh = [&](FitResult e, const std::vector<double>& back) {
    Weighed w;
    w.forward = AverageMiss(std::move(e.distances), options, size);
    w.backward = AverageMiss(back, options, size);
    e.distances.clear();
    w.result = std::move(e);
    return w;
  };
  // A few thousand vertices weed out the candidates that plainly miss before a full measure.
  std::vector<Vector3> sample;
  for (std::size_t i = 0; i < base.size(); i += step) sample.push_back(base[i]);
  const auto screened_out = [&](const Matrix4& c) {
    std::vector<double> d;
    target.DistancesFrom(c, sample, d, options.threads);
    if (!(JudgedP95(std::move(d), options, 1.0) <= 10.0 * apart)) return true;
    if (!reverse->Applies()) return false;
    reverse->ScreenDistances(c, d);
    return !(JudgedP95(std::move(d), options, 1.0) <= 10.0 * apart);
  };
  std::vector<double> back, refined_back;
  std::vector<Weighed> fitting;
  std::size_t refined = 0;
  const auto known = [&](const Matrix4& c) {
    return !differ(c, r.matrix) || AlreadyKept(fitting, c, [&](const Weighed& a, const Matrix4& m) {
      return !differ(m, a.result.matrix);
    });
  };
  for (const Matrix4& c : r.candidates) {
    if (known(c) || screened_out(c)) continue;
    FitResult e = Judge(base, base_spread, target, c, quiet, *reverse, &back);
    if (!e.fits) continue;
    if (refine && refined < kRefinedCandidates) {
      ++refined;
      const Matrix4 p = refine(c);
      if (p.matrix().allFinite() && !known(p)) {
        FitResult q = Judge(base, base_spread, target, p, quiet, *reverse, &refined_back);
        if (q.fits) {
          e = std::move(q);
          back.swap(refined_back);
        }
      }
    }
    fitting.push_back(weigh(std::move(e), back));
  }
  if (fitting.empty()) return;
  // A symmetric copy's turns onto itself form a group: two motions that fit,
  // carried onto each other, are one such turn, and it carries every motion
  // that fits to another. The search lands on some of a cube's 24; the rest
  // follow from them.
  {
    std::vector<Matrix4> poses{r.matrix};
    for (const Weighed& w : fitting) poses.push_back(w.result.matrix);
    const Matrix4 lead_inverse = r.matrix.inverse();
    for (std::size_t i = 1; i < poses.size() && poses.size() < kMostComposed; ++i) {
      for (std::size_t j = 1; j <= i && poses.size() < kMostComposed; ++j) {
        const Matrix4 c = poses[i] * lead_inverse * poses[j];
        if (!c.matrix().allFinite() || known(c) || screened_out(c)) continue;
        FitResult e = Judge(base, base_spread, target, c, quiet, *reverse, &back);
        if (!e.fits) continue;
        fitting.push_back(weigh(std::move(e), back));
        poses.push_back(c);
      }
    }
  }
  Weighed lead = weigh(Judge(base, base_spread, target, r.matrix, quiet, *reverse, &back), back);
  // Whether a is about as close as b, both ways (within `room`); clearly closer one way.
  const auto as_well = [&](const Weighed& a, const Weighed& b, double room) {
    return a.forward <= kAsWell * b.forward + room && a.backward <= kAsWell * b.backward + room;
  };
  const auto clearly_better = [&](const Weighed& a, const Weighed& b) {
    return as_well(a, b, slack) &&
           (kAsWell * a.forward + slack < b.forward || kAsWell * a.backward + slack < b.backward);
  };
  // The candidate that fits best leads: any clearly closer than the motion.
  std::optional<std::size_t> best;
  for (std::size_t k = 0; k < fitting.size(); ++k) {
    if (clearly_better(fitting[k], best ? fitting[*best] : lead)) best = k;
  }
  if (best) {
    Weighed chosen = std::move(fitting[*best]);
    fitting.erase(fitting.begin() + static_cast<std::ptrdiff_t>(*best));
    fitting.push_back(std::move(lead));
    FitResult& e = chosen.result;
    e.iterations = r.iterations;
    e.starts = r.starts;
    e.hitIterationLimit = r.hitIterationLimit;
    e.candidates = std::move(r.candidates);
    e.kind = r.kind;
    e.tried = std::move(r.tried);
    if (options.keepDistances) target.DistancesFrom(e.matrix, base, e.distances, options.threads);
    r = std::move(e);
    lead = std::move(chosen);
    lead.result = FitResult();
  }
  for (const Weighed& w : fitting) {
    if (!differ(w.result.matrix, r.matrix)) continue;
    if (as_well(w, lead, apart)) r.alternatives.push_back({w.result.matrix, w.result.residuals});
  }
  r.ambiguous = !r.alternatives.empty();
}

void SuggestTrim(const std::vector<Vector3>& base, const FitTarget& target,
                 const FitOptions& options, const ReverseMeasure& reverse, FitResult& r) {
  r.trimWouldFit = 0.0;
  if (r.shortfall != Shortfall::residual || (options.trim && *options.trim > 0.0) ||
      !(r.overlap >= 1.0 - kMostTrim))
    return;
  // 95% of the share kept must land: at least the share that lands over 0.95 is left out.
  constexpr double kStep = 0.05;
  const double least = 1.0 - r.overlap / 0.95;
  const double trim = std::max(kStep, std::ceil(least / kStep - 1e-9) * kStep);
  if (trim > kMostTrim + 1e-12) return;
  FitOptions o = options;
  o.trim = std::min(trim, kMostTrim);
  o.keepDistances = false;
  if (Judge(base, Spread(base), target, r.matrix, o, reverse).fits) r.trimWouldFit = *o.trim;
}

FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options) {
  return EvaluateMotion(base, {}, target, m, options);
}

FitResult EvaluateMotion(const std::vector<Vector3>& base,
                         const std::vector<Triangle>& baseTriangles, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options) {
  CheckOptions(options);
  const ReverseMeasure reverse(
      base, [&]() -> const std::vector<Triangle>& { return baseTriangles; }, target,
      options.threads);
  return Judge(base, Spread(base), target, m, options, reverse);
}

}  // namespace korvane::geometry
