// One ICP run: base vertices paired with their closest target points,
// stepped (point-to-plane on a surface, the pair solve on vertices) until the
// motion settles or the iteration limit stops it. The search from starts and
// the final refinement both run it; neither knows how a step is taken.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_target.h"
#include "geometry/geometry.h"

namespace korvane::geometry {

// Runs are ranked by their mean distance, each capped at this fraction of the
// size: unlike a trimmed mean it sees a small asymmetric feature that a
// near-symmetric wrong pose leaves off the surface, and the cap keeps holes
// (removed vertices) from deciding.
inline constexpr double kRankCap = 1e-2;

struct Run {
  Matrix4 m = Matrix4::Identity();
  double score = std::numeric_limits<double>::infinity();   // trimmed RMS / scale
  double robust = std::numeric_limits<double>::infinity();  // capped mean / scale
  int iterations = 0;
  bool capped = false;  // stopped by the iteration limit, still moving
};

// closest(queries, points, normals): points[i] the target point paired with
// queries[i], normals[i] its face's unit normal (zero: a point-to-point pair).
using ClosestPoints =
    std::function<void(const std::vector<Vector3>&, std::vector<Vector3>&, std::vector<Vector3>&)>;

// Closest points on `target`'s surface (its vertices without one), with
// normals, for one run at a time: each query starts from its own answer of
// the step before, so the moved sample is answered in a few box tests.
ClosestPoints SurfaceQueries(const FitTarget& target, unsigned threads);

// ICP from m on `sample`. Stops after `max_iterations` steps or when a step
// moves the sample by at most `convergence` (a length) across the surface, or
// by a quarter of the trimmed pairs' scatter. The run's matrix is the last
// one paired, so its residuals are known. Pairs are trimmed by `trim`; with
// `inclusive_first` every pair takes part until the motion settles, and only
// then are the worst left out: on a nearly symmetric part the pairs that tell
// the right pose from a turned one (a keyway, a bump) are the worst ones until
// that pose is reached. `cap` (a length) caps each distance in Run::robust.
// Each step does what `freedom` allows: without a scale it keeps the scale of
// m (a rigid fit); affine, it changes any of the twelve numbers. Without
// `by_scatter` only `convergence` stops it: a pose crawling along a direction
// the surface barely holds moves by less than the scatter every step.
Run RunIcp(const std::vector<Vector3>& sample, const ClosestPoints& closest, Matrix4 m, double trim,
           int max_iterations, double convergence, double cap, Freedom freedom,
           bool inclusive_first = false, bool by_scatter = true);

Eigen::AlignedBox3d BoxOf(const std::vector<Vector3>& v);

// Up to `count` runs of `sorted` (best first) whose poses, over `box`, differ
// from every one kept before by more than `apart`.
std::vector<Run> Distinct(const std::vector<Run>& sorted, const Eigen::AlignedBox3d& box,
                          double apart, std::size_t count);

template <class Key>
void SortBy(std::vector<Run>& runs, Key key) {
  std::stable_sort(runs.begin(), runs.end(),
                   [&](const Run& a, const Run& b) { return key(a) < key(b); });
}

}  // namespace korvane::geometry
