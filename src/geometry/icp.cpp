#include "geometry/icp.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "geometry/distinct.h"
#include "geometry/icp_loop.h"
#include "geometry/point_sets.h"
#include "geometry/polish.h"
#include "geometry/spatial.h"
#include "geometry/start_search.h"
#include "geometry/triangle_match.h"

namespace korvane::geometry {
namespace {

// ICP refines on evenly spaced base vertices, first a few, then more: far
// from the answer few vertices steer as well as many. The last sample has at
// most 50k vertices.
constexpr std::size_t kSampleSizes[] = {1000, 8000, 50000};
// Screening ranks; it need not finish: the finalists go on from there.
constexpr int kScreenIterations = 25;
// The best of the screened poses go on through every sample size.
constexpr std::size_t kFinalists = 3;
// Finalists closer than this (relative to the size) are one motion.
constexpr double kSameMotion = 1e-4;
// Converged when an update moves the sample by at most this fraction of the
// target's size: loosely on the smaller samples, finely on the last.
constexpr double kMidConvergence = 1e-6;
constexpr double kConvergence = 1e-9;
// Proposals from matching triangles: checked with this share of base
// vertices landing on target vertices at least; when the best has kSure, the
// starts are not needed, and those within kNearlySure of it are the
// candidates (a symmetric part's turned poses).
constexpr double kProposalShare = 0.5;
constexpr double kSure = 0.9;
constexpr double kNearlySure = 0.25;
// Steps onto the target's vertices after screening, for each screened pose,
// and the steps along the surface that bring a pose within their reach.
constexpr int kLandIterations = 10;
constexpr int kSettleIterations = 15;
// Steps of each finalist onto the base's surface: enough to rank them; the
// best is polished.
constexpr int kFinalistSteps = 20;

// Samples of growing size, the last of at most 50k vertices.
std::vector<std::vector<Vector3>> SamplePyramid(const std::vector<Vector3>& base) {
  std::vector<std::vector<Vector3>> levels;
  for (std::size_t size : kSampleSizes) {
    levels.push_back(Subsample(base, size));
    if (size >= base.size()) break;
  }
  return levels;
}

// Whether the triangles touch nearly every one of `count` vertices: a
// surface, not a sample of one's triangles, which leaves about half the
// vertices on none.
bool CoversVertices(const std::vector<Triangle>& triangles, std::size_t count) {
  constexpr double kCovered = 0.9;
  std::vector<char> used(count, 0);
  for (const Triangle& t : triangles) used[t[0]] = used[t[1]] = used[t[2]] = 1;
  const auto n = static_cast<std::size_t>(std::count(used.begin(), used.end(), 1));
  return !triangles.empty() && static_cast<double>(n) >= kCovered * static_cast<double>(count);
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
  // Each run asks its own queries, each starting from its answer of the step before.
  const auto surface = [&] { return SurfaceQueries(target, o.threads); };
  // A copy without a surface is measured onto the base's, when it has one:
  // not a sample of a large base's triangles (a sieve, not a surface).
  std::unique_ptr<FitTarget> base_surface;
  if (!target.hasSurface() && CoversVertices(baseTriangles, base.size()))
    base_surface = std::make_unique<FitTarget>(base, baseTriangles, o.threads);
  const auto polish = [&](const Matrix4& m) {
    return PolishMotion(levels[last], target, base_surface.get(), m, trim, o.maxIterations,
                        o.Solves(), o.threads);
  };

  // Proposals from triangles of the same shape first: when one puts nearly
  // every base vertex onto a target vertex, the starts are not needed.
  std::vector<Proposal> proposals;
  if (target.hasSurface())
    proposals = ProposeByTriangles(base, baseTriangles, target.vertices(), target.triangles(), size,
                                   kProposalShare, kMostCandidates, levels[last], kMostCandidates,
                                   o.maxIterations, o.Scaled(), o.threads);
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
    out.motions.front() = polish(out.motions.front());
    out.iterations = proposals.front().refits;
    out.hitIterationLimit = proposals.front().capped;
    out.starts = static_cast<int>(proposals.size());
    return out;
  }
  std::size_t starts = 0;
  std::vector<Run> screened =
      SearchFromStarts(base, target, start, trim, o.Scaled(), box, o.threads, starts);
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

  // Screening: each against the surface on the smallest sample. The poses
  // go on threads, each run on one (a small sample would not pay for
  // more), so the results are the same on any number.
  const double screen_convergence = (last == 0 ? kConvergence : kMidConvergence) * size;
  const auto each_pose = [&](const std::function<void(Run&, std::size_t)>& step) {
    ParallelTasks(screened.size(), o.threads, [&](std::size_t k) { step(screened[k], k); });
  };
  each_pose([&](Run& r, std::size_t) {
    r = RunIcp(levels[0], SurfaceQueries(target, 1), r.m, trim,
               std::min(o.maxIterations, kScreenIterations), screen_convergence, cap, o.Solves(),
               true);
  });
  // A turn the surface barely holds (a faceted surface of revolution slides
  // along its facets) settles on it only after many steps, so a symmetric
  // part's other poses would stop short of fitting. On a copy that keeps the
  // base's vertices (split, cut, reordered) they land on vertices: a few
  // point-to-point steps onto the nearest target vertices take a pose the
  // rest of the way once it is within half their spacing. A pose is kept
  // only when the surface finds it closer.
  std::vector<Matrix4> landed_poses;
  if (!target.vertices().empty()) {
    const std::vector<Vector3>& w = target.vertices();
    const PointIndex corners(w);
    const ClosestPoints nearest_vertex = [&](const std::vector<Vector3>& q,
                                             std::vector<Vector3>& points,
                                             std::vector<Vector3>& normals) {
      points.resize(q.size());
      normals.assign(q.size(), Vector3::Zero());
      for (std::size_t i = 0; i < q.size(); ++i) points[i] = w[corners.Nearest(q[i]).index];
    };
    // Lands r from `from` (r itself or a pose further along): whether it did.
    const auto land = [&](Run& r, const Run& from, bool* moved) {
      const int allowed = std::min(kLandIterations, std::max(0, o.maxIterations - from.iterations));
      if (allowed == 0) return false;
      const Run landed = RunIcp(levels[0], nearest_vertex, from.m, trim, allowed,
                                screen_convergence, cap, o.Solves());
      if (moved) *moved = CornerShift(box, landed.m, from.m) > kSameMotion * size;
      Run judged = RunIcp(levels[0], SurfaceQueries(target, 1), landed.m, trim, 0,
                          screen_convergence, cap, o.Solves(), true);
      if (!(judged.robust < r.robust)) return false;
      judged.iterations = from.iterations + landed.iterations;
      judged.capped = false;
      r = judged;
      return true;
    };
    std::vector<char> landed(screened.size(), 0), out_of_reach(screened.size(), 0);
    each_pose([&](Run& r, std::size_t k) {
      bool moved = false;
      landed[k] = land(r, r, &moved);
      out_of_reach[k] = !landed[k] && moved;
    });
    // Where some poses landed the copy keeps the base's vertices: those that
    // landed elsewhere (half a spacing off) go a few steps along the surface
    // first, not stopped by the scatter they crawl within.
    if (std::find(landed.begin(), landed.end(), 1) != landed.end()) {
      each_pose([&](Run& r, std::size_t k) {
        if (!out_of_reach[k] || o.maxIterations - r.iterations <= kSettleIterations) return;
        Run settled = RunIcp(levels[0], SurfaceQueries(target, 1), r.m, trim, kSettleIterations,
                             screen_convergence, cap, o.Solves(), false, false);
        settled.iterations += r.iterations;
        landed[k] = land(r, settled, nullptr);
      });
    }
    for (std::size_t k = 0; k < screened.size(); ++k) {
      if (landed[k]) landed_poses.push_back(screened[k].m);
    }
  }
  if (base_surface) {
    // A scan's points ranked against the base's vertices rank how the scan
    // was sampled; onto the base's surface they see a keyway or a bump.
    // Every screened pose is taken a few steps that way and ranked by it.
    const std::vector<Vector3> points = Subsample(target.vertices(), kSampleSizes[0]);
    each_pose([&](Run& r, std::size_t) {
      const int used = r.iterations;
      r = RunOntoBase(points, *base_surface, r.m, trim,
                      std::min(o.maxIterations, kScreenIterations),
                      screen_convergence / ScaleOf(r.m), cap / ScaleOf(r.m), o.Solves(), 1);
      r.iterations += used;
    });
  }
  SortBy(screened, [](const Run& r) { return r.robust; });
  std::vector<Run> finalists = Distinct(screened, box, kSameMotion * size, kFinalists);

  // Finalists through the larger samples, the iteration limit counted over
  // all. A copy without a surface goes onto the base's instead (below): its
  // own points would pull the base's corners and edges inwards again.
  for (Run& r : finalists) {
    if (base_surface) break;
    const Run entering = r;
    // (A base of one sample size goes on where screening left it.)
    for (std::size_t l = std::min<std::size_t>(1, last); l <= last; ++l) {
      const int used = r.iterations;
      const int left = std::max(0, o.maxIterations - used);
      const int allowed = l == last ? left : left / 2;
      r = RunIcp(levels[l], surface(), r.m, trim, allowed,
                 (l == last ? kConvergence : kMidConvergence) * size, cap, o.Solves(), true);
      r.iterations += used;
    }
    // A pose that landed on the vertices is as exact as the copy's digits:
    // the surface steps can only pull it towards the holes removed vertices
    // leave, and on a crawling turn not back in the steps left.
    const bool landed =
        std::any_of(landed_poses.begin(), landed_poses.end(),
                    [&](const Matrix4& m) { return m.matrix() == entering.m.matrix(); });
    if (landed) {
      Run kept = RunIcp(levels[last], surface(), entering.m, trim, 0, kConvergence * size, cap,
                        o.Solves(), true);
      if (kept.robust < r.robust) {
        kept.iterations = entering.iterations;
        kept.capped = false;
        r = kept;
      }
    }
  }
  if (base_surface) {
    // Each finalist goes on onto the base's surface, on more of the copy's
    // points, and is ranked there.
    const std::vector<Vector3> points = Subsample(target.vertices(), kSampleSizes[1]);
    ParallelTasks(finalists.size(), o.threads, [&](std::size_t k) {
      Run& r = finalists[k];
      const int used = r.iterations;
      r = RunOntoBase(points, *base_surface, r.m, trim,
                      std::min(kFinalistSteps, std::max(0, o.maxIterations - used)),
                      kMidConvergence * size / ScaleOf(r.m), cap / ScaleOf(r.m), o.Solves(), 1);
      r.iterations += used;
    });
  }
  SortBy(finalists, [](const Run& r) { return r.robust; });
  finalists = Distinct(finalists, box, kSameMotion * size, kFinalists);

  IcpSearch out;
  for (const Run& r : finalists) out.motions.push_back(r.m);
  out.motions.front() = polish(out.motions.front());
  // The other poses screening settled on go with them, for the ambiguity
  // verdict: a symmetric part has more turns that fit than finalists.
  for (const Run& r : Distinct(screened, box, kSameMotion * size, kMostCandidates)) {
    const bool known = AlreadyKept(finalists, r, [&](const Run& f, const Run& x) {
      return CornerShift(box, x.m, f.m) <= kSameMotion * size;
    });
    if (!known && out.motions.size() < kMostCandidates) out.motions.push_back(r.m);
  }
  out.iterations = finalists.front().iterations;
  out.hitIterationLimit = finalists.front().capped;
  out.starts = static_cast<int>(starts);
  return out;
}

IcpSearch RefineAffine(const std::vector<Vector3>& base, const FitTarget& target,
                       const std::vector<Matrix4>& starts, std::size_t count, const FitOptions& o) {
  const double size = target.size();
  const double trim = o.TrimFor(FitKind::icp);
  const std::vector<std::vector<Vector3>> levels = SamplePyramid(base);
  const std::size_t last = levels.size() - 1;
  const Eigen::AlignedBox3d box = BoxOf(base);
  // Each run asks its own queries, each starting from its answer of the step before.
  const auto surface = [&] { return SurfaceQueries(target, o.threads); };
  const Freedom affine{true, false, true};
  std::vector<Run> runs;
  for (std::size_t k = 0; k < std::min(count, starts.size()); ++k) {
    Run r;
    r.m = starts[k];
    // The iteration limit counted over all sample sizes, as for the similarity.
    for (std::size_t l = 0; l <= last; ++l) {
      const int used = r.iterations;
      const int left = std::max(0, o.maxIterations - used);
      r = RunIcp(levels[l], surface(), r.m, trim, l == last ? left : left / 2,
                 (l == last ? kConvergence : kMidConvergence) * size, kRankCap * size, affine,
                 true);
      r.iterations += used;
    }
    runs.push_back(r);
  }
  SortBy(runs, [](const Run& r) { return r.robust; });
  IcpSearch out;
  out.starts = static_cast<int>(runs.size());
  for (const Run& r : Distinct(runs, box, kSameMotion * size, runs.size()))
    out.motions.push_back(r.m);
  if (!runs.empty()) {
    out.iterations = runs.front().iterations;
    out.hitIterationLimit = runs.front().capped;
  }
  return out;
}

}  // namespace korvane::geometry
