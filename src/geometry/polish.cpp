#include "geometry/polish.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "geometry/icp_loop.h"
#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"
#include "geometry/rejection.h"
#include "geometry/spatial.h"

namespace korvane::geometry {
namespace {

// Vertex pairs stand for the copy's own vertices while they lie no further
// apart than this many times the surface distance: isotropic noise puts a
// pair about sqrt(3) times as far apart as the point from the surface, a
// scan's or a remesh's neighbour is off along the surface by its spacing.
constexpr double kTruePairs = 3.0;
// Below this (relative to the size) both are rounding: the pairs decide.
constexpr double kRounding = 1e-12;
// The pairs' optimum may fit the surface worse than the search's motion,
// which fitted the noisy surface itself (measured: up to 1.4 times on a
// faceted cylinder, whose turn about its axis the surface hardly holds); a
// pairing that went elsewhere is far worse still.
constexpr double kWorseAtMost = 2.0;
// Surface steps settle when a step moves the sample by at most this share of
// the size: far below what any number of pairs can tell.
constexpr double kSettled = 1e-12;
// Or at most this share of what the pairs can tell.
constexpr double kPrecisionShare = 1e-2;
// Solves on vertex pairs at most: true pairs repeat after a few, a scan's
// neighbours only crawl.
constexpr int kPairSteps = 30;
// Steps along the surface at most: Gauss-Newton steps settle in a few where
// the surface holds the motion; the rest is a crawl along what it does not.
constexpr int kSurfaceSteps = 30;

// The last steps go no further than this many times the surface distance's
// root mean square: from a pose the search settled on, noise moves the
// optimum by a few times that, a turn the surface barely holds by more
// (24 times on a faceted cylinder); a step much further slides to another
// pose, which is the search's to judge, not theirs.
constexpr double kReach = 50.0;

// Largest move of a sample point from a to b.
double Moved(const std::vector<Vector3>& sample, const Matrix4& a, const Matrix4& b) {
  double worst = 0.0;
  for (const Vector3& p : sample)
    worst = std::max(worst, (TransformPoint(b, p) - TransformPoint(a, p)).norm());
  return worst;
}

// Root mean square of the `keep` smallest of d.
double TrimmedRms(std::vector<double> d, std::size_t keep) {
  KeepSmallestValues(d, keep);
  double sum = 0.0;
  for (const double x : d) sum += x * x;
  return std::sqrt(sum / static_cast<double>(keep));
}

// Welsch weights whose scale follows the pairs' own spread: the median of
// the `keep` closest distances, times kWelschWidth. Noise keeps nearly its
// full weight, a pair across a hole or a cut almost none; unlike a trim,
// the pairs' optimum stays that of least squares on the pairs that belong.
constexpr double kWelschWidth = 6.0;
std::vector<double> RobustWeights(const std::vector<double>& d, std::size_t keep, double floor) {
  std::vector<double> kept = d;
  KeepSmallestValues(kept, keep);
  const auto mid = kept.begin() + static_cast<std::ptrdiff_t>(kept.size() / 2);
  std::nth_element(kept.begin(), mid, kept.end());
  const double width = kWelschWidth * *mid;
  std::vector<double> w(d.size(), 1.0);
  if (width <= floor) {
    // Pairs as exact as the digits: those that land weigh alike (a weight a
    // hair below one costs an exact copy its last digits), the rest nothing.
    for (std::size_t i = 0; i < d.size(); ++i) w[i] = d[i] <= floor ? 1.0 : 0.0;
    return w;
  }
  for (std::size_t i = 0; i < d.size(); ++i)
    w[i] = std::exp(-0.5 * (d[i] / width) * (d[i] / width));
  return w;
}

}  // namespace

Run RunOntoBase(const std::vector<Vector3>& points, const FitTarget& baseSurface, const Matrix4& m,
                double trim, int max_iterations, double convergence, double cap, Freedom freedom,
                unsigned threads) {
  Matrix4 inverse = m.inverse();
  inverse.makeAffine();
  Run r = RunIcp(points, SurfaceQueries(baseSurface, threads), inverse, trim, max_iterations,
                 convergence, cap, freedom, false, false);
  // The run divides base lengths by the inverse's scale (1 / s): in the
  // copy's units; in the base's, s times smaller.
  const double s = 1.0 / ScaleOf(r.m);
  r.m = r.m.inverse();
  r.m.makeAffine();
  r.score /= s;
  r.robust /= s;
  return r;
}

Matrix4 PolishMotion(const std::vector<Vector3>& sample, const FitTarget& target,
                     const FitTarget* baseSurface, const Matrix4& m, double trim,
                     int max_iterations, Freedom freedom, unsigned threads) {
  const std::size_t n = sample.size();
  const std::size_t keep = KeptCount(n, trim);
  const double size = target.size();
  const std::vector<Vector3>& w = target.vertices();
  // The surface is the target's, or else the base's (a scan, a point cloud):
  // then the copy's points onto the base's surface, in the copy's units.
  const bool inverse = !target.hasSurface() && baseSurface != nullptr;
  const std::vector<Vector3> points = inverse ? Subsample(w, n) : std::vector<Vector3>();
  const std::size_t point_keep = KeptCount(points.size(), trim);
  const auto surface_rms = [&](const Matrix4& x) {
    std::vector<double> d;
    if (!inverse) {
      target.DistancesFrom(x, sample, d, threads);
      return TrimmedRms(std::move(d), keep);
    }
    baseSurface->DistancesFrom(x.inverse(), points, d, threads);
    return TrimmedRms(std::move(d), point_keep) * ScaleOf(x);
  };
  const double before = surface_rms(m);
  const auto near = [&](const Matrix4& x) {
    return Moved(sample, m, x) <= kReach * before + kRounding * size;
  };
  // What the data can tell is about the scatter over the square root of the
  // pairs' count: steps far below that have settled.
  const double settled =
      std::max(kSettled * size, kPrecisionShare * before / std::sqrt(static_cast<double>(keep)));

  // Pairs with the nearest target vertex, solved until the pairing repeats:
  // then the solve repeats too, to the last bit.
  const PointIndex vertices(w);
  std::vector<std::uint32_t> pairing(n), last;
  std::vector<Vector3> paired(n);
  std::vector<double> d(n);
  Matrix4 v = m;
  for (int it = 0; it < std::min(max_iterations, kPairSteps); ++it) {
    ParallelRanges(n, threads, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) {
        const PointIndex::Hit h = vertices.Nearest(TransformPoint(v, sample[i]));
        pairing[i] = h.index;
        paired[i] = w[h.index];
        d[i] = std::sqrt(h.distanceSquared);
      }
    });
    if (pairing == last) break;
    last = pairing;
    const Matrix4 next =
        WeightedPairMotion(sample, paired, RobustWeights(d, keep, kRounding * size), freedom);
    if (!next.matrix().allFinite()) break;
    const double shift = Moved(sample, v, next);
    v = next;
    if (shift <= settled) break;
  }
  const bool surface = target.hasSurface() || inverse;
  const double pair_rms = TrimmedRms(d, keep);
  const double vertex_fit = surface ? surface_rms(v) : 0.0;
  const bool true_pairs =
      !surface || pair_rms <= std::max(kTruePairs * vertex_fit, kRounding * size);
  if (true_pairs && vertex_fit <= std::max(kWorseAtMost * before, kRounding * size) && near(v))
    return v;
  if (!surface) return m;

  if (inverse) {
    // The copy's points onto the base's surface: the way a scan's points
    // meet a surface at all.
    const Matrix4 back =
        RunOntoBase(points, *baseSurface, m, trim, max_iterations, settled / ScaleOf(m),
                    kRankCap * baseSurface->size(), freedom, threads)
            .m;
    return surface_rms(back) <= before && near(back) ? back : m;
  }
  const Run r = RunIcp(sample, SurfaceQueries(target, threads), m, trim,
                       std::min(max_iterations, kSurfaceSteps), settled, kRankCap * size, freedom,
                       false, false);
  return surface_rms(r.m) <= before && near(r.m) ? r.m : m;
}

}  // namespace korvane::geometry
