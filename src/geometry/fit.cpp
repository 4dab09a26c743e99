#include "geometry/fit.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "geometry/automatic.h"
#include "geometry/icp.h"
#include "geometry/loose_affine.h"
#include "geometry/mirror.h"
#include "geometry/point_sets.h"
#include "geometry/polish.h"
#include "geometry/whitened.h"
#include "text/error.h"

namespace korvane::geometry {

namespace {

// The similarities an affine fit starts from, at most.
constexpr std::size_t kAffineStarts = 3;
// Points spread over a base's surface when its vertices shrink onto a copy.
constexpr std::size_t kDenseBasePoints = 4000;
constexpr double kEvenSpread = 0.02;

// Where affine steps start: the best few similarities, then the motions the
// point sets' moments give, which need no similarity to fit (a shuffled
// stretched copy leads the similarity search astray).
std::vector<Matrix4> AffineStarts(const std::vector<Vector3>& base, const FitTarget& target,
                                  const std::vector<Matrix4>& similar, bool mirrored) {
  std::vector<Matrix4> starts(
      similar.begin(),
      similar.begin() + static_cast<std::ptrdiff_t>(std::min(similar.size(), kAffineStarts)));
  const std::vector<Matrix4> moments = WhitenedStarts(base, target.vertices(), mirrored);
  starts.insert(starts.end(), moments.begin(), moments.end());
  return starts;
}

FitResult Fitted(FitResult r, FitKind kind, std::vector<FitKind> tried = {}) {
  r.kind = kind;
  r.tried = std::move(tried);
  return r;
}

FitResult IcpFit(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                 const FitTarget& target, const FitOptions& options, const ReverseMeasure& reverse);
FitResult IcpJudged(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                    const FitTarget& target, const FitOptions& options,
                    const ReverseMeasure& reverse);

// The verdict for a motion found here, judged both ways.
FitResult Evaluate(const std::vector<Vector3>& base, const FitTarget& target, const Matrix4& m,
                   const FitOptions& o, const ReverseMeasure& reverse) {
  return Judge(base, Spread(base), target, m, o, reverse);
}

// Pairs further apart than this (relative to the size) are more than the
// digits of an exact copy; at most this many base vertices are polished on.
constexpr double kExactPairs = 1e-12;
constexpr std::size_t kPolishedPairs = 50000;

// The three-point motion in the options' model.
Matrix4 ThreePointFor(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                      const FitOptions& o) {
  return ThreePointInModel(ThreePointFit(base, moved), base, moved, o.Scaled());
}

// Whether a motion plainly misses, judged on a few thousand base vertices
// before the full measure: one that fits puts 95% of them within the
// tolerance, one that misses puts most of them far off the surface, where
// every query of it is slow. Pairs that land (equal counts) save the surface.
bool PlainlyMisses(const std::vector<Vector3>& base, const FitTarget& target, const Matrix4& m,
                   const FitOptions& o) {
  constexpr std::size_t kSample = 4096;
  constexpr double kNear = 10.0;  // tolerances
  const std::size_t step = std::max<std::size_t>(1, base.size() / kSample);
  const double near = kNear * o.tolerance * target.size();
  const std::vector<Vector3>& w = target.vertices();
  std::vector<Vector3> sample;
  std::size_t landed = 0;
  for (std::size_t i = 0; i < base.size(); i += step) {
    sample.push_back(base[i]);
    if (w.size() == base.size() && (TransformPoint(m, base[i]) - w[i]).norm() <= near) ++landed;
  }
  if (2 * landed >= sample.size()) return false;
  std::vector<double> d;
  target.DistancesFrom(m, sample, d, o.threads);
  landed = static_cast<std::size_t>(
      std::count_if(d.begin(), d.end(), [&](double x) { return x <= near; }));
  return 2 * landed < sample.size();
}

// The cheapest fit that fits: the three-point motion, then least squares on
// equal counts, then ICP (which starts from the three-point motion). The
// first two rest on vertex pairs, so they stand only when the pairs confirm
// them: a motion from pairs that no longer correspond (another order, a
// symmetric part) can land within a loose tolerance by accident, and only
// ICP's candidates tell whether another motion fits better or as well.
FitResult AutomaticFit(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                       const FitTarget& target, const FitOptions& options,
                       const ReverseMeasure& reverse) {
  const std::vector<Vector3>& w = target.vertices();
  FitOptions o = options;
  std::vector<FitKind> tried;
  if (!o.start) {
    try {
      o.start = ThreePointFor(base, w, o);
    } catch (const Error& e) {
      // Meshes without a reference triangle may still be fitted by the others.
      if (e.kind() != Error::Kind::refused) throw;
    }
  }
  // Each try is measured in full only when a sample does not plainly miss.
  const auto fitting = [&](const Matrix4& m) -> std::optional<FitResult> {
    if (PlainlyMisses(base, target, m, o)) return std::nullopt;
    const auto confirmed = [&](const FitResult& x) {
      return x.fits && x.residuals.paired.count > 0 &&
             x.residuals.paired.p95Relative <= o.tolerance;
    };
    FitResult r = Evaluate(base, target, m, o, reverse);
    if (!confirmed(r)) return std::nullopt;
    // Under noise all the pairs tell the motion better than the three (or
    // the kept share) it came from: the last steps take it there. An exact
    // copy's motion is left as the three points give it, to the last bit.
    if (r.residuals.paired.maxRelative > kExactPairs) {
      const Matrix4 p =
          PolishMotion(Subsample(base, kPolishedPairs), target, nullptr, m,
                       o.TrimFor(FitKind::least_squares), o.maxIterations, o.Solves(), o.threads);
      if (!(p.matrix() == m.matrix())) {
        FitResult q = Evaluate(base, target, p, o, reverse);
        if (confirmed(q)) return q;
      }
    }
    return r;
  };
  // Three points cannot give an affine motion; its start is only ICP's.
  if (o.start && !o.Affine()) {
    if (std::optional<FitResult> r = fitting(*o.start))
      return Fitted(std::move(*r), FitKind::three_point);
    tried.push_back(FitKind::three_point);
  }
  if (base.size() == w.size()) {
    std::optional<FitResult> r =
        fitting(LeastSquaresMotion(base, w, o.TrimFor(FitKind::least_squares), o.Solves()));
    // A few edited vertices pull the plain solve off: left out, the rest decide.
    if (!r && !o.trim) r = fitting(LeastSquaresMotion(base, w, kDefaultIcpTrim, o.Solves()));
    if (r) return Fitted(std::move(*r), FitKind::least_squares, std::move(tried));
    tried.push_back(FitKind::least_squares);
  }
  return Fitted(IcpJudged(base, triangles, target, o, reverse), FitKind::icp, std::move(tried));
}

}  // namespace

FitResult FitMotion(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options) {
  return FitMotion(base, TrianglesSource(), target, options);
}

FitResult FitMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                    const FitTarget& target, const FitOptions& options) {
  return FitMotion(
      base, [&]() -> const std::vector<Triangle>& { return baseTriangles; }, target, options);
}

namespace {

// The fit in the options' model, proper motions only.
FitResult FitInModel(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                     const FitTarget& target, const FitOptions& options,
                     const ReverseMeasure& reverse) {
  const std::vector<Vector3>& w = target.vertices();
  switch (options.kind) {
    case FitKind::automatic:
      return AutomaticFit(base, baseTriangles, target, options, reverse);
    case FitKind::three_point:
      return Fitted(
          Evaluate(base, target, options.start ? *options.start : ThreePointFor(base, w, options),
                   options, reverse),
          FitKind::three_point);
    case FitKind::least_squares:
      return Fitted(Evaluate(base, target,
                             LeastSquaresMotion(base, w, options.TrimFor(FitKind::least_squares),
                                                options.Solves()),
                             options, reverse),
                    FitKind::least_squares);
    case FitKind::icp:
      break;
  }
  return Fitted(IcpJudged(base, baseTriangles, target, options, reverse), FitKind::icp);
}

// Every improper motion is a proper one after a reflection: the base's
// mirror image is fitted by turns, and the reflection put back in front.
FitResult MirroredFit(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                      const FitTarget& target, const FitOptions& options,
                      const ReverseMeasure& reverse) {
  Matrix4 flip = Matrix4::Identity();
  flip(0, 0) = -1.0;
  std::vector<Vector3> mirrored(base);
  for (Vector3& p : mirrored) p.x() = -p.x();
  FitOptions o = options;
  o.start.reset();  // a turn of the base, not of its mirror image
  FitResult r = FitInModel(mirrored, baseTriangles, target, o, reverse.After(flip));
  const auto back = [&](const Matrix4& m) {
    Matrix4 out = m * flip;
    out.makeAffine();
    return out;
  };
  r.matrix = back(r.matrix);
  for (Matrix4& c : r.candidates) c = back(c);
  for (Alternative& a : r.alternatives) a.matrix = back(a.matrix);
  r.mirror = true;
  return r;
}

// A similarity that misses a stretched copy: the affine fit from where the
// similarity got to names the stretch. A few runs at most: the pairs (equal
// counts), then the similarity's best motions.
void NameStretch(const std::vector<Vector3>& base, const FitTarget& target,
                 const FitOptions& options, const std::vector<Matrix4>& mirrored,
                 const ReverseMeasure& reverse, FitResult& r) {
  FitOptions o = options;
  o.kind = FitKind::automatic;  // the three-point fit that missed has no affine form
  o.motion = MotionModel::affine;
  o.start.reset();
  o.keepDistances = false;
  const std::vector<Vector3>& w = target.vertices();
  std::optional<Matrix4> found;
  const auto fits = [&](const Matrix4& m) {
    return m.matrix().allFinite() && !PlainlyMisses(base, target, m, o) &&
           Evaluate(base, target, m, o, reverse).fits;
  };
  if (base.size() == w.size()) {
    const Matrix4 m = PairMotion(base, w, {}, base.size(), o.Solves());
    if (fits(m)) found = m;
  }
  if (!found) {
    // The best few of the fit, and of the mirrored fit when there was one.
    std::vector<Matrix4> starts =
        r.candidates.empty() ? std::vector<Matrix4>{r.matrix} : r.candidates;
    starts = AffineStarts(base, target, starts, false);
    if (!mirrored.empty()) {
      const std::vector<Matrix4> more = AffineStarts(base, target, mirrored, true);
      starts.insert(starts.end(), more.begin(), more.end());
    }
    const IcpSearch s = RefineAffine(base, target, starts, starts.size(), o);
    // The closest run may squash the base onto part of the copy: the first that fits names it.
    for (const Matrix4& m : s.motions) {
      if (!fits(m)) continue;
      found = m;
      break;
    }
  }
  if (!found) return;
  const Stretch stretch = StretchOf(*found);
  // Stretched alike every way, it is a similarity the search missed: no stretch to name.
  if (!(stretch.factors[0] > (1.0 + options.tolerance) * stretch.factors[2])) return;
  r.shortfall = Shortfall::stretched;
  r.stretch = stretch;
}

// The fit under options with a set tolerance and trim.
FitResult FitWith(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                  const FitTarget& target, const FitOptions& options,
                  const ReverseMeasure& reverse) {
  FitResult r = FitInModel(base, baseTriangles, target, options, reverse);
  std::vector<Matrix4> mirrored;  // the mirrored fit's motions, when it missed too
  if (!r.fits && options.allowMirror) {
    FitResult m = MirroredFit(base, baseTriangles, target, options, reverse);
    if (m.fits) {
      r = std::move(m);
    } else {
      mirrored = m.candidates.empty() ? std::vector<Matrix4>{m.matrix} : std::move(m.candidates);
    }
  }
  // A mirror image that lacks some vertices: the centroid distances no longer
  // tell it; unless the frames' handedness rules it out, the mirrored fit shows it.
  if (!r.fits && !options.Affine() && !options.allowMirror && r.shortfall == Shortfall::residual &&
      base.size() != target.vertices().size() &&
      MayBeMirrorImage(base, target.vertices(), options.tolerance)) {
    FitResult m = MirroredFit(base, baseTriangles, target, options, reverse);
    // (Its motion is put back in front of the reflection: judged on the base itself.)
    if (!m.fits) SuggestTrim(base, target, options, reverse, m);
    if (m.fits || m.trimWouldFit > 0.0) r.shortfall = Shortfall::mirror_image;
  }
  if (!r.fits && options.Affine() && !options.allowMirror &&
      r.shortfall != Shortfall::mirror_image) {
    // A stretch changes every distance, so no shape check tells an affine
    // mirror image: the mirrored fit does.
    if (MirroredFit(base, baseTriangles, target, options, reverse).fits)
      r.shortfall = Shortfall::mirror_image;
  }
  if (!r.fits && options.motion == MotionModel::similarity &&
      r.shortfall != Shortfall::mirror_image)
    NameStretch(base, target, options, mirrored, reverse, r);
  if (!r.fits && !options.Scaled()) {
    // A copy of another size: the similarity that fits names its scale; a
    // stretched one, the similarity's own verdict names the stretch.
    FitOptions o = options;
    o.motion = MotionModel::similarity;
    o.start.reset();
    o.keepDistances = false;
    const FitResult s = FitWith(base, baseTriangles, target, o, reverse);
    if (s.fits) {
      r.shortfall = Shortfall::size;
      r.fittingScale = ScaleOf(s.matrix);
    } else if (s.shortfall == Shortfall::stretched) {
      r.shortfall = Shortfall::stretched;
      r.stretch = s.stretch;
    }
  }
  SuggestTrim(base, target, options, reverse, r);
  return r;
}

}  // namespace

FitResult FitMotion(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                    const FitTarget& target, const FitOptions& options) {
  CheckOptions(options);
  CheckFittable(base, text::MeshRole::base);
  // ICP and the reverse measure both may ask: the source is asked once.
  const std::vector<Triangle>* asked = nullptr;
  const TrianglesSource once = [&]() -> const std::vector<Triangle>& {
    static const std::vector<Triangle> kNone;
    if (!asked) asked = baseTriangles ? &baseTriangles() : &kNone;
    return *asked;
  };
  const ReverseMeasure reverse(base, once, target, options.threads);
  return FitChoosing(base, once, target, options,
                     [&](const FitOptions& o) { return FitWith(base, once, target, o, reverse); });
}

namespace {

FitResult IcpFit(const std::vector<Vector3>& base, const TrianglesSource& source,
                 const FitTarget& target, const FitOptions& options,
                 const ReverseMeasure& reverse) {
  static const std::vector<Triangle> kNone;
  const std::vector<Triangle>& triangles = source ? source() : kNone;
  for (const Triangle& t : triangles) {
    if (t[0] >= base.size() || t[1] >= base.size() || t[2] >= base.size())
      throw Error(text::Refusal{text::Reason::index_missing_vertex, text::MeshRole::base});
  }
  std::optional<Matrix4> start = options.start;
  if (!start) {
    try {
      start = ThreePointFor(base, target.vertices(), options);
    } catch (const Error&) {
      // No usable reference triangle: the other starts remain.
    }
  }
  IcpSearch search;
  if (options.Affine()) {
    // Affine steps from the best similarities: the search's starts and
    // matched triangles need a motion that keeps shapes.
    FitOptions similar = options;
    similar.motion = MotionModel::similarity;
    const IcpSearch found = SearchMotion(base, triangles, target, start, similar);
    search = RefineAffine(base, target, AffineStarts(base, target, found.motions, false),
                          kMostCandidates, options);
    search.starts += found.starts;
  } else {
    search = SearchMotion(base, triangles, target, start, options);
  }
  FitResult r = Judge(base, Spread(base), target, search.motions.front(), options, reverse);
  // The search fits the base's vertices onto the copy: a few of them (a box's
  // corners) or crowded ones (a wing section's, dense at its nose) land
  // closest when shrunk onto part of a copy re-triangulated across its faces.
  // Points spread over the base's surface by area cannot shrink without
  // leaving the copy's surface: on a miss the search is run again with them
  // added, and its motions go first when they fit.
  if ((r.shortfall == Shortfall::residual || r.shortfall == Shortfall::scale ||
       r.shortfall == Shortfall::coverage) &&
      !options.Affine() && target.hasSurface() && !triangles.empty()) {
    const std::vector<Vector3> spread =
        FitTarget(base, triangles, options.threads).SpreadPoints(kDenseBasePoints);
    // Vertices spread like the surface (a fine, even mesh) would search alike.
    if (std::abs(Spread(spread) / Spread(base) - 1.0) > kEvenSpread) {
      std::vector<Vector3> dense = base;
      dense.insert(dense.end(), spread.begin(), spread.end());
      IcpSearch again = SearchMotion(dense, triangles, target, start, options);
      FitResult a = Judge(base, Spread(base), target, again.motions.front(), options, reverse);
      const bool better = a.fits;
      std::vector<Matrix4>& first = better ? again.motions : search.motions;
      std::vector<Matrix4>& then = better ? search.motions : again.motions;
      for (Matrix4& m : then) {
        if (first.size() >= kMostCandidates) break;
        first.push_back(m);
      }
      if (better) {
        again.starts += search.starts;
        search = std::move(again);
        r = std::move(a);
      } else {
        search.starts += again.starts;
      }
    }
  }
  if (options.Affine() && (r.shortfall == Shortfall::scale || r.shortfall == Shortfall::coverage)) {
    // An affine run can squash the base onto part of the copy, as close one
    // way as the copy's own motion: the best run that covers the copy leads.
    for (std::size_t k = 1; k < search.motions.size(); ++k) {
      if (PlainlyMisses(base, target, search.motions[k], options)) continue;
      FitResult e = Judge(base, Spread(base), target, search.motions[k], options, reverse);
      if (!e.fits) continue;
      std::rotate(search.motions.begin(), search.motions.begin() + static_cast<std::ptrdiff_t>(k),
                  search.motions.begin() + static_cast<std::ptrdiff_t>(k) + 1);
      r = std::move(e);
      break;
    }
  }
  r.iterations = search.iterations;
  r.starts = search.starts;
  r.hitIterationLimit = search.hitIterationLimit;
  r.candidates = std::move(search.motions);
  return r;
}

FitResult IcpJudged(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                    const FitTarget& target, const FitOptions& options,
                    const ReverseMeasure& reverse) {
  FitResult r = IcpFit(base, triangles, target, options, reverse);
  // The candidates' last steps, as the search's best took them: a copy
  // without a surface onto the base's.
  static const std::vector<Triangle> kNone;
  const std::vector<Triangle>& t = triangles ? triangles() : kNone;
  std::unique_ptr<FitTarget> base_surface;
  const std::vector<Vector3> sample = Subsample(base, kPolishedPairs);
  const Refine refine = [&](const Matrix4& m) {
    if (!target.hasSurface() && !t.empty() && t.size() < kBaseTrianglesLooked && !base_surface)
      base_surface = std::make_unique<FitTarget>(base, t, options.threads);
    return PolishMotion(sample, target, base_surface.get(), m, options.TrimFor(FitKind::icp),
                        options.maxIterations, options.Solves(), options.threads);
  };
  // The search ranks the base onto the copy alone, where a base shrunk onto
  // part of the copy (a thin plate's remesh) lands closest: when the verdict
  // says so, the best candidate that fits both ways after its last steps
  // leads instead, and the ambiguity weighs the rest against it. (The
  // affine search's runs were weighed so already.)
  if (!options.Affine() &&
      (r.shortfall == Shortfall::scale || r.shortfall == Shortfall::coverage)) {
    for (std::size_t k = 1; k < r.candidates.size(); ++k) {
      const Matrix4& c = r.candidates[k];
      if (PlainlyMisses(base, target, c, options)) continue;
      FitResult plain = Judge(base, Spread(base), target, c, options, reverse);
      if (!plain.fits) continue;
      FitResult e = Judge(base, Spread(base), target, refine(c), options, reverse);
      if (!e.fits) e = std::move(plain);  // its last steps lost the fit: keep it as it was
      e.iterations = r.iterations;
      e.starts = r.starts;
      e.hitIterationLimit = r.hitIterationLimit;
      e.candidates = std::move(r.candidates);
      std::rotate(e.candidates.begin(), e.candidates.begin() + static_cast<std::ptrdiff_t>(k),
                  e.candidates.begin() + static_cast<std::ptrdiff_t>(k) + 1);
      r = std::move(e);
      break;
    }
  }
  JudgeAmbiguity(base, target, options, r, &reverse, options.Affine() ? Refine() : refine);
  JudgeLooseAffine(base, target, options, reverse, r);
  return r;
}

}  // namespace

}  // namespace korvane::geometry
