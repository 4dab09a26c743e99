#include "geometry/automatic.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "geometry/judgement.h"
#include "geometry/overlap.h"
#include "geometry/point_sets.h"
#include "geometry/spatial.h"

namespace korvane::geometry {
namespace {

// A partial copy lies on the moved base: at least this share of the copy's
// points must, or the vertices off it are a wrong motion, not a cut.
constexpr double kCopyOnBase = 0.9;
constexpr std::size_t kCopySample = 4096;
// The trim of the search when the whole-base fit's motion shows no overlap
// to trust: a copy missing up to about a third is still found under it.
constexpr double kSearchTrim = 0.35;
// Trims this close judge alike.
constexpr double kSameTrim = 0.01;

class Chooser {
 public:
  Chooser(const std::vector<Vector3>& base, const BaseTriangles& triangles, const FitTarget& target)
      : base_(base), triangles_(triangles), target_(target) {}

  // The tolerances both meshes' roughness asks for; the base's is measured once.
  Tolerances RoughTolerance() {
    if (rough_.forward == 0.0) {
      const std::vector<Triangle>& t = Triangles();
      rough_ = ToleranceFor({Copy(), target_.size(), target_.hasSurface()},
                            {EstimateRoughness(base_), BoundingDiagonal(base_), !t.empty()});
    }
    return rough_;
  }

  const Roughness& Copy() {
    if (!copy_) copy_ = EstimateRoughness(target_.vertices());
    return *copy_;
  }

  // The trim that judges `m` on the part of the base the copy has, when the
  // copy lies on the moved base; nullopt when nothing is missing or the
  // copy does not lie on it (then `m` is wrong, not the copy partial).
  std::optional<double> TrimFor(const Matrix4& m, const FitOptions& o) {
    if (!m.matrix().allFinite()) return std::nullopt;
    std::vector<double> d;
    target_.DistancesFrom(m, base_, d, o.threads);
    const double near = o.tolerance * target_.size();
    const Overlap overlap = EstimateOverlap(d, near);
    const double trim = TrimForOverlap(overlap.share);
    if (trim <= 0.0) return std::nullopt;
    if (!CopyOnBase(m, overlap.band, o)) return std::nullopt;
    return trim;
  }

  const std::vector<Triangle>& Triangles() {
    static const std::vector<Triangle> kNone;
    return triangles_ ? triangles_() : kNone;
  }

 private:
  // Whether most of the copy's points lie within `band` of the moved base:
  // its surface when the base has triangles, else its vertices, with the
  // base's spacing allowed for.
  bool CopyOnBase(const Matrix4& m, double band, const FitOptions& o) {
    const double scale = ScaleOf(m);
    if (!(scale > 0.0) || !std::isfinite(scale)) return false;
    const Matrix4 back = m.inverse();
    const std::vector<Vector3> sample = Subsample(target_.vertices(), kCopySample);
    std::vector<double> d;
    double allow = band / scale;
    const std::vector<Triangle>& t = Triangles();
    if (!t.empty() && t.size() < kBaseTrianglesLooked) {
      if (!surface_) surface_ = std::make_unique<SurfaceIndex>(base_, t, o.threads);
      surface_->DistancesFrom(back, sample, d, o.threads);
    } else {
      if (!points_) points_ = std::make_unique<PointIndex>(base_);
      for (const Vector3& w : sample)
        d.push_back(std::sqrt(points_->Nearest(TransformPoint(back, w)).distanceSquared));
      allow += 2.1 * EstimateRoughness(base_).spacing;
    }
    const auto on = std::count_if(d.begin(), d.end(), [&](double x) { return x <= allow; });
    return static_cast<double>(on) >= kCopyOnBase * static_cast<double>(d.size());
  }

  const std::vector<Vector3>& base_;
  const BaseTriangles& triangles_;
  const FitTarget& target_;
  std::optional<Roughness> copy_;
  Tolerances rough_;
  std::unique_ptr<SurfaceIndex> surface_;
  std::unique_ptr<PointIndex> points_;
};

// A fit that leaves out as much as a partial copy may miss finds its motion
// quickly (the whole base pulls a fit of a cut copy astray, slowly); the
// overlap that motion shows sets the trim it is judged with. Without a
// partial copy that fits, the whole base is fitted (`whole`), or the last
// trimmed miss is returned.
FitResult TrimmedFit(Chooser& c, const FitOptions& o, const GivenFit& fit, bool whole = true) {
  FitOptions t = o;
  t.trim = kSearchTrim;
  FitResult searched = fit(t);
  if (const std::optional<double> trim = c.TrimFor(searched.matrix, o)) {
    if (std::abs(*trim - kSearchTrim) <= kSameTrim) {
      if (searched.fits || !whole) return searched;
    } else {
      t.trim = *trim;
      FitResult r = fit(t);
      if (r.fits || !whole) return r;
    }
  }
  if (!whole) return searched;
  t.trim.reset();
  return fit(t);
}

}  // namespace

FitResult FitChoosing(const std::vector<Vector3>& base, const BaseTriangles& baseTriangles,
                      const FitTarget& target, const FitOptions& options, const GivenFit& fit) {
  Chooser c(base, baseTriangles, target);
  FitOptions o = options;
  o.autoTolerance = false;
  o.autoTrim = false;
  if (options.autoTolerance) {
    o.tolerance = c.RoughTolerance().forward;
    o.reverseTolerance = c.RoughTolerance().reverse;
  }
  FitResult r = options.autoTrim ? TrimmedFit(c, o, fit) : fit(o);
  r.tolerance = o.tolerance;
  r.toleranceAuto = options.autoTolerance;
  r.trimAuto = options.autoTrim;
  r.roughness = c.Copy();
  if (options.autoTolerance) {
    r.roughTolerance = o.tolerance;
    r.roughReverseTolerance = *o.reverseTolerance;
  }
  if (r.fits || r.shortfall != Shortfall::residual) return r;
  // A miss: would the automatic choices fit the motion found?
  FitOptions judge = o;
  judge.keepDistances = false;
  if (!options.autoTolerance) {
    r.roughTolerance = c.RoughTolerance().forward;
    r.roughReverseTolerance = c.RoughTolerance().reverse;
    if (r.roughTolerance > o.tolerance && r.judgedP95Relative <= r.roughTolerance) {
      judge.tolerance = r.roughTolerance;
      judge.reverseTolerance = r.roughReverseTolerance;
      if (EvaluateMotion(base, c.Triangles(), target, r.matrix, judge).fits) {
        r.remedy = Remedy::tolerance_auto;
        return r;
      }
      judge.tolerance = o.tolerance;
      judge.reverseTolerance = o.reverseTolerance;
    }
  }
  if (options.autoTrim) return r;
  const std::optional<double> trim = c.TrimFor(r.matrix, judge);
  if (trim && *trim > o.trim.value_or(0.0) + kSameTrim) {
    judge.trim = *trim;
    if (EvaluateMotion(base, c.Triangles(), target, r.matrix, judge).fits) {
      r.remedy = Remedy::trim_auto;
      r.remedyTrim = *trim;
      return r;
    }
  }
  // Vertices missing may also have led the fit astray: the search that the
  // automatic trim runs says whether a partial copy fits.
  if (r.likelyCause == LikelyCause::vertices_added_or_removed) {
    const FitResult t = TrimmedFit(c, o, fit, /*whole=*/false);
    if (t.fits) {
      r.remedy = Remedy::trim_auto;
      r.remedyTrim = 1.0 - t.judgedShare;
    }
  }
  return r;
}

}  // namespace korvane::geometry
