#include "geometry/residuals.h"

#include <algorithm>
#include <cmath>

#include "geometry/point_sets.h"

namespace korvane::geometry {
namespace {

// Where the 95th percentile of n values stands, by nearest rank.
std::size_t Rank95(std::size_t n) { return (95 * n + 99) / 100 - 1; }

}  // namespace

double Percentile95(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const std::size_t k = Rank95(v.size());
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

ResidualStats ComputeResidualStats(std::vector<double> d, double length) {
  ResidualStats s;
  s.length = length;
  s.count = d.size();
  if (d.empty()) return s;
  double sum = 0.0;
  double max = 0.0;
  for (double x : d) {
    sum += x * x;
    max = std::max(max, x);
  }
  const std::size_t n = d.size();
  s.rms = std::sqrt(sum / static_cast<double>(n));
  s.max = max;
  // The 95% rank first: everything before it is then no larger, and the
  // median is found among those.
  const std::size_t k = Rank95(n);
  const auto at = [&](std::size_t i) { return d.begin() + static_cast<std::ptrdiff_t>(i); };
  std::nth_element(d.begin(), at(k), d.end());
  s.p95 = d[k];
  std::nth_element(d.begin(), at(n / 2), at(k + 1));
  s.median = d[n / 2];
  if (n % 2 == 0) s.median = 0.5 * (s.median + *std::max_element(d.begin(), at(n / 2)));
  s.rmsRelative = s.rms / length;
  s.medianRelative = s.median / length;
  s.p95Relative = s.p95 / length;
  s.maxRelative = s.max / length;
  return s;
}

Residuals MeasureResiduals(const std::vector<Vector3>& base, const FitTarget& target,
                           const Matrix4& m, unsigned threads, std::vector<double>* distances,
                           double tolerance) {
  CheckFittable(base, text::MeshRole::base);
  Residuals r;
  std::vector<double> d;
  if (tolerance > 0.0 && target.hasSurface() && base.size() == target.vertices().size()) {
    target.PairedDistancesFrom(m, base, d, threads);
    // The rest against the whole surface; when most are (another vertex
    // order), all of them, without copies.
    const double near = tolerance * target.size();
    const auto far_count = static_cast<std::size_t>(
        std::count_if(d.begin(), d.end(), [&](double x) { return !(x <= near); }));
    std::vector<std::size_t> far;
    std::vector<Vector3> queries;
    if (far_count > d.size() / 4) {
      target.DistancesFrom(m, base, d, threads);
    } else {
      far.reserve(far_count);
      queries.reserve(far_count);
      for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] <= near) continue;
        far.push_back(i);
        queries.push_back(base[i]);
      }
    }
    if (!far.empty()) {
      std::vector<double> exact;
      target.DistancesFrom(m, queries, exact, threads);
      for (std::size_t k = 0; k < far.size(); ++k) d[far[k]] = exact[k];
    }
  } else {
    target.DistancesFrom(m, base, d, threads);
  }
  if (distances != nullptr) *distances = d;
  r.surface = ComputeResidualStats(std::move(d), target.size());
  r.toSurface = target.hasSurface();
  const std::vector<Vector3>& w = target.vertices();
  if (w.size() == base.size()) {
    d.resize(base.size());
    ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) d[i] = (TransformPoint(m, base[i]) - w[i]).norm();
    });
    r.paired = ComputeResidualStats(std::move(d), target.size());
  } else {
    r.paired.length = target.size();
  }
  return r;
}

}  // namespace korvane::geometry
