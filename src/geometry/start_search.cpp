#include "geometry/start_search.h"

#include <cmath>

#include "geometry/point_sets.h"
#include "geometry/spatial.h"

namespace korvane::geometry {
namespace {

// Every start is first run on this many base vertices against this many
// points spread over the target's surface by area: a query far from a
// surface visits much of its hierarchy, a small point set bounds that cost,
// and spreading by area keeps large flat faces (few vertices) in view.
constexpr std::size_t kFirstSample = 150;
constexpr int kFirstIterations = 5;
constexpr std::size_t kSecondStarts = 64;
constexpr std::size_t kCoarseSample = 500;
constexpr std::size_t kProxySize = 4000;
constexpr int kCoarseIterations = 12;
// Turns tried besides the principal-axis alignments: points spread evenly
// over the unit quaternions (each turn appears about twice, as q and -q),
// about 35 degrees apart, inside the reach of ICP from a rough start. They
// make the search independent of how well the principal axes are defined.
constexpr std::size_t kTurnSamples = 240;
// The coarse stage settles loosely: its poses only rank the starts.
constexpr double kCoarseConvergence = 1e-4;
// The best starts of the coarse stage, distinct poses, go on against the
// surface; the best of those (finalists) through every sample size.
constexpr std::size_t kScreened = 8;
constexpr std::size_t kMostScreened = 48;
constexpr double kScreenRatio = 1.5;
// Poses whose base boxes' corners are this far apart (relative to the size)
// count as different in the coarse stage.
constexpr double kDistinctPose = 2e-2;

// Turns spread evenly over all rotations: a super-Fibonacci spiral of unit
// quaternions (Alexa, "Super-Fibonacci Spirals", 2022).
std::vector<Eigen::Matrix3d> SpreadTurns(std::size_t count) {
  constexpr double kPhi = 1.4142135623730951;  // sqrt(2)
  constexpr double kPsi = 1.533751168755204288118041;
  std::vector<Eigen::Matrix3d> turns;
  for (std::size_t i = 0; i < count; ++i) {
    const double s = static_cast<double>(i) + 0.5;
    const double r = std::sqrt(s / static_cast<double>(count));
    const double big_r = std::sqrt(1.0 - s / static_cast<double>(count));
    const double alpha = 2.0 * kPi * s / kPhi, beta = 2.0 * kPi * s / kPsi;
    const Eigen::Quaterniond q(big_r * std::cos(beta), r * std::sin(alpha), r * std::cos(alpha),
                               big_r * std::sin(beta));
    turns.push_back(q.normalized().toRotationMatrix());
  }
  return turns;
}

// Starts that put the base's centroid on the target's and its spread on the
// target's: every proper alignment of the principal axes (every order and
// sign: the order of nearly equal spreads is not to be trusted), then turns
// spread over all rotations.
std::vector<Matrix4> GlobalStarts(const std::vector<Vector3>& base,
                                  const std::vector<Vector3>& target, bool scaled) {
  const Frame fb = PrincipalFrame(base);
  const Frame ft = PrincipalFrame(target);
  const double s = scaled ? std::sqrt(ft.spread / fb.spread) : 1.0;
  std::vector<Eigen::Matrix3d> rotations;
  int perm[3] = {0, 1, 2};
  do {
    for (int signs = 0; signs < 8; ++signs) {
      Eigen::Matrix3d p = Eigen::Matrix3d::Zero();
      for (int j = 0; j < 3; ++j) p(perm[j], j) = (signs >> j) & 1 ? -1.0 : 1.0;
      const Eigen::Matrix3d r = ft.axes * p * fb.axes.transpose();
      if (r.determinant() > 0.0) rotations.push_back(r);
    }
  } while (std::next_permutation(perm, perm + 3));
  for (const Eigen::Matrix3d& r : SpreadTurns(kTurnSamples)) rotations.push_back(r);
  std::vector<Matrix4> starts;
  for (const Eigen::Matrix3d& r : rotations) {
    Matrix4 m = Matrix4::Identity();
    m.linear() = s * r;
    m.translation() = ft.centroid - s * r * fb.centroid;
    starts.push_back(m);
  }
  return starts;
}

}  // namespace

std::vector<Run> SearchFromStarts(const std::vector<Vector3>& base, const FitTarget& target,
                                  const std::optional<Matrix4>& start, double trim, bool scaled,
                                  const Eigen::AlignedBox3d& box, unsigned threads,
                                  std::size_t& count) {
  const double size = target.size();
  const double cap = kRankCap * size;
  std::vector<Matrix4> starts = GlobalStarts(base, target.vertices(), scaled);
  if (start) starts.insert(starts.begin(), *start);
  count = starts.size();
  const std::vector<Vector3> proxy_points = target.SpreadPoints(kProxySize);
  const PointIndex proxy(proxy_points);
  const ClosestPoints coarse = [&](const std::vector<Vector3>& q, std::vector<Vector3>& points,
                                   std::vector<Vector3>& normals) {
    points.resize(q.size());
    normals.assign(q.size(), Vector3::Zero());
    for (std::size_t i = 0; i < q.size(); ++i) points[i] = proxy_points[proxy.Nearest(q[i]).index];
  };
  // A few steps on few vertices weed out most starts; the best go on longer.
  const std::vector<Vector3> first_sample = Subsample(base, kFirstSample);
  std::vector<Run> runs(starts.size());
  ParallelTasks(starts.size(), threads, [&](std::size_t k) {
    runs[k] = RunIcp(first_sample, coarse, starts[k], trim, kFirstIterations,
                     kCoarseConvergence * size, cap, Freedom{scaled});
  });
  SortBy(runs, [](const Run& r) { return r.score; });
  runs = Distinct(runs, box, kDistinctPose * size, kSecondStarts);
  const std::vector<Vector3> coarse_sample = Subsample(base, kCoarseSample);
  ParallelTasks(runs.size(), threads, [&](std::size_t k) {
    runs[k] = RunIcp(coarse_sample, coarse, runs[k].m, trim, kCoarseIterations,
                     kCoarseConvergence * size, cap, Freedom{scaled});
  });
  SortBy(runs, [](const Run& r) { return r.score; });
  // The points cannot tell a nearly symmetric part's poses apart (a keyway
  // is a few percent of it, within the trim): every pose about as good as
  // the best goes on to the surface, which can.
  std::vector<Run> screened = Distinct(runs, box, kDistinctPose * size, kMostScreened);
  while (screened.size() > kScreened &&
         screened.back().score > kScreenRatio * screened.front().score)
    screened.pop_back();
  return screened;
}

}  // namespace korvane::geometry
