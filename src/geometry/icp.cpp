#include "geometry/icp.h"

#include <Eigen/Cholesky>
#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>

#include "geometry/triangle_match.h"

namespace korvane::geometry {
namespace {

using namespace detail;

// ICP refines on evenly spaced base vertices, first a few, then more: far
// from the answer few vertices steer as well as many. The last sample has at
// most 50k vertices.
constexpr std::size_t kSampleSizes[] = {1000, 8000, 50000};
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
// The best starts of the coarse stage, distinct poses, go on against the
// surface; the best of those (finalists) through every sample size.
constexpr std::size_t kScreened = 8;
constexpr std::size_t kMostScreened = 48;
constexpr double kScreenRatio = 1.5;
// Screening ranks; it need not finish: the finalists go on from there.
constexpr int kScreenIterations = 25;
constexpr std::size_t kFinalists = 3;
// Poses whose base boxes' corners are this far apart (relative to the size)
// count as different in the coarse stage; finalists closer than kSameMotion
// are one motion.
constexpr double kDistinctPose = 2e-2;
constexpr double kSameMotion = 1e-4;
// Converged when an update moves no corner of the sample's box by more than
// this fraction of the target's size (loosely on the smaller samples, finely
// on the last), or by less than a hundredth of the pairs' trimmed RMS: on
// rounded or noisy copies the last digits are lost in the scatter anyway.
constexpr double kCoarseConvergence = 1e-4;
constexpr double kMidConvergence = 1e-6;
constexpr double kConvergence = 1e-9;
constexpr double kScatterFraction = 0.25;
// Weight of the point-to-point term beside point-to-plane: it only keeps the
// step defined where the planes leave a direction free (a flat plate slides
// along itself).
constexpr double kPointWeight = 1e-3;
// A pair whose line to its closest point is further than this (cosine) from
// the face's normal meets the surface at an edge or a corner.
constexpr double kOffFace = 0.9999;
// Steps are halved at most down to this fraction.
constexpr double kShortestStep = 1.0 / 64.0;
// Finalists are ranked by their mean distance, each capped at this fraction
// of the size: unlike a trimmed mean it sees a small asymmetric feature that
// a near-symmetric wrong pose leaves off the surface, and the cap keeps
// holes (removed vertices) from deciding.
constexpr double kRankCap = 1e-2;
// Proposals from matching triangles: checked with this share of base
// vertices landing on target vertices at least; when the best has kSure, the
// starts are not needed, and those within kNearlySure of it are the
// candidates (a symmetric part's turned poses).
constexpr double kProposalShare = 0.5;
constexpr double kSure = 0.9;
constexpr double kNearlySure = 0.25;

struct Run {
  Matrix4 m = Matrix4::Identity();
  double score = std::numeric_limits<double>::infinity();   // trimmed RMS / scale
  double robust = std::numeric_limits<double>::infinity();  // capped mean / scale
  int iterations = 0;
  bool capped = false;  // stopped by the iteration limit, still moving
};

Eigen::AlignedBox3d BoxOf(const std::vector<Vector3>& v) {
  Eigen::AlignedBox3d box;
  for (const Vector3& p : v) box.extend(p);
  return box;
}

// One Gauss-Newton step of a similarity about the kept pairs' centroid:
// point-to-plane where the pair has a normal, plus a light point-to-point
// term (the whole of it where there is none). Rotation and scale are solved
// for in units of the pairs' spread, so the system is as well conditioned
// for a part of a micrometre as for a site of kilometres.
struct Increment {
  Eigen::Matrix<double, 7, 1> x = Eigen::Matrix<double, 7, 1>::Zero();  // turn, scale, shift
  Vector3 centre = Vector3::Zero();
  double spread = 1.0;
};

Increment PlaneStep(const std::vector<Vector3>& moved, const std::vector<Vector3>& paired,
                    const std::vector<Vector3>& normals, const std::vector<char>& mask,
                    std::size_t keep) {
  Increment inc;
  Vector3& c = inc.centre;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (mask[i]) c += moved[i];
  }
  c /= static_cast<double>(keep);
  double spread = 0.0;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (mask[i]) spread += (moved[i] - c).squaredNorm();
  }
  spread = std::sqrt(spread / static_cast<double>(keep));
  if (!(spread > 0.0)) return inc;
  inc.spread = spread;
  using Vector7 = Eigen::Matrix<double, 7, 1>;
  Eigen::Matrix<double, 7, 7> a = Eigen::Matrix<double, 7, 7>::Zero();
  Vector7 b = Vector7::Zero();
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (!mask[i]) continue;
    const Vector3 p = (moved[i] - c) / spread;
    const Vector3 e = moved[i] - paired[i];
    const Vector3& n = normals[i];
    const bool plane = n.squaredNorm() > 0.0;
    if (plane) {
      Vector7 j;
      j << p.cross(n), n.dot(p), n;
      a.selfadjointView<Eigen::Lower>().rankUpdate(j);
      b += j * n.dot(e);
    }
    const double w = plane ? kPointWeight : 1.0;
    // Rows of d(moved)/d(rotation, scale, shift): -[p]x, p, I.
    Eigen::Matrix<double, 3, 7> j3;
    j3 << 0.0, p.z(), -p.y(), p.x(), 1.0, 0.0, 0.0,  //
        -p.z(), 0.0, p.x(), p.y(), 0.0, 1.0, 0.0,    //
        p.y(), -p.x(), 0.0, p.z(), 0.0, 0.0, 1.0;
    a.triangularView<Eigen::Lower>() += (w * j3.transpose() * j3).eval();
    b += w * j3.transpose() * e;
  }
  const Vector7 x = a.selfadjointView<Eigen::Lower>().ldlt().solve(-b);
  if (x.allFinite()) inc.x = x;
  return inc;
}

// `factor` of the increment, applied after m.
Matrix4 Stepped(const Increment& inc, double factor, const Matrix4& m) {
  const Vector3 omega = factor * inc.x.head<3>() / inc.spread;
  const double sigma = factor * inc.x[3] / inc.spread;
  const double angle = omega.norm();
  Matrix4 step = Matrix4::Identity();
  step.linear() =
      std::exp(sigma) * (angle > 0.0 ? Eigen::AngleAxisd(angle, omega / angle).toRotationMatrix()
                                     : Eigen::Matrix3d::Identity());
  step.translation() = inc.centre + factor * inc.x.tail<3>() - step.linear() * inc.centre;
  Matrix4 next = step * m;
  next.makeAffine();
  return next;
}

// Largest move of a sample point under `next` across the surface: along the
// normal of its pair where it has one. Sliding along the surface changes no
// distance, and on a surface of revolution (a shaft, a tank) rounding noise
// keeps the turn about its axis drifting by tiny steps that would otherwise
// never count as converged.
double NormalShift(const std::vector<Vector3>& sample, const std::vector<Vector3>& moved,
                   const std::vector<Vector3>& normals, const Matrix4& next) {
  double worst = 0.0;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    const Vector3 d = TransformPoint(next, sample[i]) - moved[i];
    const Vector3& n = normals[i];
    worst = std::max(worst, n.squaredNorm() > 0.0 ? std::fabs(n.dot(d)) : d.norm());
  }
  return worst;
}

// ICP from m on `sample`: closest(queries, points, normals) pairs the moved
// sample with target points (normals all zero: point-to-point steps solved
// exactly by Umeyama). Stops after `max_iterations` steps or when a step
// moves the sample's box by at most `convergence` (a length). The run's
// matrix is the last one paired, so its residuals are known.
//
// With `inclusive_first` every pair takes part until the motion settles, and
// only then are the worst `trim` left out: on a nearly symmetric part the
// pairs that tell the right pose from a turned one (a keyway, a bump) are
// the worst ones until that pose is reached, and trimming them from the
// start would leave it undecided.
template <class Closest>
Run RunIcp(const std::vector<Vector3>& sample, Closest&& closest, Matrix4 m, double trim,
           int max_iterations, double convergence, double cap, bool inclusive_first = false) {
  const std::size_t n = sample.size();
  const std::size_t trimmed = KeptCount(n, trim);
  std::size_t keep = inclusive_first ? n : trimmed;
  std::vector<Vector3> moved(n), paired, normals;
  std::vector<double> d2(n);
  const std::vector<char> all(n, 1);
  Run run;
  bool converged = false;
  // A Gauss-Newton step that makes things worse (it went far along a
  // direction the surface hardly constrains, as the turn of a faceted
  // torus about its axis) is taken again shorter, from where it started.
  Increment inc;
  Matrix4 from = m;
  double factor = 1.0, last_objective = std::numeric_limits<double>::infinity();
  bool planes = false;
  for (int it = 0;; ++it) {
    for (std::size_t i = 0; i < n; ++i) moved[i] = TransformPoint(m, sample[i]);
    closest(moved, paired, normals);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const Vector3 e = moved[i] - paired[i];
      d2[i] = e.squaredNorm();
      total += d2[i];
      // Off an edge or a corner of the surface (an open end, a hole, a
      // sharp rim) the distance grows along the line to the closest point,
      // not along the face's normal: a face's plane would let the point
      // slide past the edge unopposed.
      Vector3& nv = normals[i];
      if (d2[i] > 0.0 && nv.squaredNorm() > 0.0) {
        const Vector3 u = e / std::sqrt(d2[i]);
        if (std::fabs(u.dot(nv)) < kOffFace) nv = u;
      }
    }
    const std::vector<char> mask = KeepSmallest(d2, trimmed);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += mask[i] ? d2[i] : 0.0;
    const double objective =
        keep == n ? total / static_cast<double>(n) : sum / static_cast<double>(trimmed);
    if (planes && objective > last_objective && factor > kShortestStep && it < max_iterations) {
      factor *= 0.5;
      converged = false;
      m = Stepped(inc, factor, from);
      continue;
    }
    const double scale = ScaleOf(m);
    run.m = m;
    run.score = std::sqrt(sum / static_cast<double>(trimmed)) / scale;
    run.iterations = it;
    if (converged && keep != trimmed) {
      keep = trimmed;
      converged = false;
      last_objective = std::numeric_limits<double>::infinity();
    }
    if (converged) break;
    if (it >= max_iterations) {
      run.capped = true;
      break;
    }
    const std::vector<char>& used = keep == n ? all : mask;
    planes = false;
    for (const Vector3& nv : normals) planes = planes || nv.squaredNorm() > 0.0;
    Matrix4 next;
    if (planes) {
      inc = PlaneStep(moved, paired, normals, used, keep);
      from = m;
      factor = 1.0;
      last_objective = objective;
      next = Stepped(inc, factor, m);
    } else {
      next = SolveMasked(sample, paired, used, keep);
    }
    if (!next.matrix().allFinite()) break;
    // Both phases settle against the trimmed pairs' scatter: the inclusive
    // one must finish turning a part into place before its worst pairs go.
    converged = NormalShift(sample, moved, normals, next) <=
                std::max(convergence, kScatterFraction * run.score * scale);
    m = next;
  }
  double capped_sum = 0.0;
  for (const double d : d2) capped_sum += std::min(std::sqrt(d), cap);
  run.robust = capped_sum / static_cast<double>(n) / ScaleOf(run.m);
  return run;
}

// Samples of growing size, the last of at most 50k vertices.
std::vector<std::vector<Vector3>> SamplePyramid(const std::vector<Vector3>& base) {
  std::vector<std::vector<Vector3>> levels;
  for (std::size_t size : kSampleSizes) {
    levels.push_back(Subsample(base, size));
    if (size >= base.size()) break;
  }
  return levels;
}

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
                                  const std::vector<Vector3>& target) {
  const Frame fb = PrincipalFrame(base);
  const Frame ft = PrincipalFrame(target);
  const double s = std::sqrt(ft.spread / fb.spread);
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

// Up to `count` runs of `sorted` (best first) whose poses differ from every
// one kept before by more than `apart`.
std::vector<Run> Distinct(const std::vector<Run>& sorted, const Eigen::AlignedBox3d& box,
                          double apart, std::size_t count) {
  std::vector<Run> kept;
  for (const Run& r : sorted) {
    if (kept.size() >= count) break;
    bool same = false;
    for (const Run& k : kept) same = same || CornerShift(box, r.m, k.m) <= apart;
    if (!same) kept.push_back(r);
  }
  return kept;
}

template <class Key>
void SortBy(std::vector<Run>& runs, Key key) {
  std::stable_sort(runs.begin(), runs.end(),
                   [&](const Run& a, const Run& b) { return key(a) < key(b); });
}

// The search from starts: every start against points spread over the
// surface, on threads (each start is run on its own, so the ranking is the
// same on any number); the poses about as good as the best, distinct.
std::vector<Run> SearchFromStarts(const std::vector<Vector3>& base, const FitTarget& target,
                                  const std::optional<Matrix4>& start, double trim,
                                  const Eigen::AlignedBox3d& box, unsigned threads,
                                  std::size_t& count) {
  const double size = target.size();
  const double cap = kRankCap * size;
  std::vector<Matrix4> starts = GlobalStarts(base, target.vertices());
  if (start) starts.insert(starts.begin(), *start);
  count = starts.size();
  const std::vector<Vector3> proxy_points = target.SpreadPoints(kProxySize);
  const PointIndex proxy(proxy_points);
  const auto coarse = [&](const std::vector<Vector3>& q, std::vector<Vector3>& points,
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
                     kCoarseConvergence * size, cap);
  });
  SortBy(runs, [](const Run& r) { return r.score; });
  runs = Distinct(runs, box, kDistinctPose * size, kSecondStarts);
  const std::vector<Vector3> coarse_sample = Subsample(base, kCoarseSample);
  ParallelTasks(runs.size(), threads, [&](std::size_t k) {
    runs[k] = RunIcp(coarse_sample, coarse, runs[k].m, trim, kCoarseIterations,
                     kCoarseConvergence * size, cap);
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

}  // namespace

IcpSearch SearchMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                       const FitTarget& target, const std::optional<Matrix4>& start,
                       const FitOptions& o) {
  const double size = target.size();
  const double trim = o.TrimFor(FitKind::icp);
  const double cap = kRankCap * size;
  const std::vector<std::vector<Vector3>> levels = SamplePyramid(base);
  const std::size_t last = levels.size() - 1;
  const Eigen::AlignedBox3d box = BoxOf(base);
  const auto surface = [&](const std::vector<Vector3>& q, std::vector<Vector3>& points,
                           std::vector<Vector3>& normals) {
    target.ClosestWithNormals(q, points, normals, o.threads);
  };

  // Proposals from triangles of the same shape first: when one puts nearly
  // every base vertex onto a target vertex, the starts are not needed.
  std::vector<Proposal> proposals;
  if (target.hasSurface())
    proposals = ProposeByTriangles(base, baseTriangles, target.vertices(), target.triangles(), size,
                                   kProposalShare, kMostCandidates, levels[last], kMostCandidates,
                                   o.maxIterations, o.threads);
  // A caller's trim says how much of the base the copy may lack (a partial
  // copy): landing nine tenths of the rest is as sure.
  const double sure_share = kSure * (1.0 - o.trim.value_or(0.0));
  if (!proposals.empty() && proposals.front().hits >= sure_share) {
    // Refitted on vertices that land on vertices, they are as exact as the
    // copy's digits: surface steps could only pull them towards the holes
    // that removed vertices leave. More than one that lands is the
    // ambiguity's to judge.
    std::vector<Run> sure;
    for (std::size_t k = 0; k < std::min(kMostCandidates, proposals.size()); ++k) {
      if (proposals[k].hits < proposals.front().hits - kNearlySure) break;
      Run r;
      r.m = proposals[k].m;
      sure.push_back(r);
    }
    IcpSearch out;
    for (const Run& r : Distinct(sure, box, kSameMotion * size, kMostCandidates))
      out.motions.push_back(r.m);
    out.iterations = proposals.front().refits;
    out.hitIterationLimit = proposals.front().capped;
    out.starts = static_cast<int>(proposals.size());
    return out;
  }
  std::size_t starts = 0;
  std::vector<Run> screened = SearchFromStarts(base, target, start, trim, box, o.threads, starts);
  for (const Proposal& p : proposals) {
    Run r;
    r.m = p.m;
    screened.push_back(r);
  }
  starts += proposals.size();
  if (start) {
    // The given start is kept as it is too: the coarse points may blur a
    // start that was right to begin with.
    Run given;
    given.m = *start;
    screened.push_back(given);
  }

  // Screening: each against the surface on the smallest sample.
  const double screen_convergence = (last == 0 ? kConvergence : kMidConvergence) * size;
  for (Run& r : screened) {
    r = RunIcp(levels[0], surface, r.m, trim, std::min(o.maxIterations, kScreenIterations),
               screen_convergence, cap, true);
  }
  SortBy(screened, [](const Run& r) { return r.robust; });
  std::vector<Run> finalists = Distinct(screened, box, kSameMotion * size, kFinalists);

  // Finalists through the larger samples, the iteration limit counted over all.
  for (Run& r : finalists) {
    // (A base of one sample size goes on where screening left it.)
    for (std::size_t l = std::min<std::size_t>(1, last); l <= last; ++l) {
      const int used = r.iterations;
      const int left = std::max(0, o.maxIterations - used);
      const int allowed = l == last ? left : left / 2;
      r = RunIcp(levels[l], surface, r.m, trim, allowed,
                 (l == last ? kConvergence : kMidConvergence) * size, cap, true);
      r.iterations += used;
    }
  }
  SortBy(finalists, [](const Run& r) { return r.robust; });
  finalists = Distinct(finalists, box, kSameMotion * size, kFinalists);

  IcpSearch out;
  for (const Run& r : finalists) out.motions.push_back(r.m);
  // The other poses screening settled on go with them, for the ambiguity
  // verdict: a symmetric part has more turns that fit than finalists.
  for (const Run& r : Distinct(screened, box, kSameMotion * size, kMostCandidates)) {
    bool known = false;
    for (const Run& f : finalists)
      known = known || CornerShift(box, r.m, f.m) <= kSameMotion * size;
    if (!known && out.motions.size() < kMostCandidates) out.motions.push_back(r.m);
  }
  out.iterations = finalists.front().iterations;
  out.hitIterationLimit = finalists.front().capped;
  out.starts = static_cast<int>(starts);
  return out;
}

}  // namespace korvane::geometry
