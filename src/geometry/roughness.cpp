#include "geometry/roughness.h"

#include <Eigen/QR>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <nanoflann.hpp>

#include "geometry/cloud_adaptor.h"
#include "geometry/fit_options.h"

namespace korvane::geometry {
namespace {

// Points looked at, at most, and the neighbours each surface is fitted to.
constexpr std::size_t kSamples = 2048;
constexpr std::size_t kNeighbours = 16;
// Coinciding points (split seams, flat shading) hide the true neighbours:
// a query asks for this many more.
constexpr std::size_t kAsked = 40;
// Points the tree holds at most (a few tenths of a second to build).
constexpr std::size_t kTreeMost = 200000;
// Fewer distinct points than this say nothing of a surface.
constexpr std::size_t kFewest = 32;

using Tree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, CloudAdaptor, double>,
                                        CloudAdaptor, 3, std::uint32_t>;

double Median(std::vector<double>& v) {
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// RMS distance of the points from the quadric height field fitted over
// their plane, scaled up for the six numbers the fit took from them: noise,
// without the curvature a plane would count as noise.
double SurfaceRms(const std::vector<Vector3>& q) {
  Vector3 mean = Vector3::Zero();
  for (const Vector3& p : q) mean += p;
  mean /= static_cast<double>(q.size());
  Eigen::Matrix3d c = Eigen::Matrix3d::Zero();
  for (const Vector3& p : q) c += (p - mean) * (p - mean).transpose();
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> frame(c);
  const Eigen::Matrix3d axes = frame.eigenvectors();  // the normal first
  const Eigen::Index n = static_cast<Eigen::Index>(q.size());
  Eigen::MatrixXd a(n, 6);
  Eigen::VectorXd h(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const Vector3 d = axes.transpose() * (q[static_cast<std::size_t>(i)] - mean);
    const double u = d[1], v = d[2];
    a.row(i) << 1.0, u, v, u * u, u * v, v * v;
    h[i] = d[0];
  }
  const Eigen::VectorXd fit = a.colPivHouseholderQr().solve(h);
  const double rss = (a * fit - h).squaredNorm();
  return std::sqrt(rss / static_cast<double>(n - 6));
}

}  // namespace

Roughness EstimateRoughness(const std::vector<Vector3>& points) {
  Roughness r;
  if (points.size() < kFewest) return r;
  Vector3 lo = points.front(), hi = points.front();
  for (const Vector3& p : points) {
    lo = lo.cwiseMin(p);
    hi = hi.cwiseMax(p);
  }
  // Closer than this is the same point written twice.
  const double same = 1e-9 * (hi - lo).norm();
  // A larger set is thinned evenly before the tree is built: on a surface
  // the spacing grows as the square root of the thinning, and is scaled back.
  const std::size_t thin = (points.size() + kTreeMost - 1) / kTreeMost;
  std::vector<Vector3> thinned;
  if (thin > 1) {
    thinned.reserve(points.size() / thin + 1);
    for (std::size_t i = 0; i < points.size(); i += thin) thinned.push_back(points[i]);
  }
  const std::vector<Vector3>& used = thin > 1 ? thinned : points;
  const CloudAdaptor cloud{&used};
  Tree tree(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16));
  const std::size_t step = std::max<std::size_t>(1, used.size() / kSamples);
  std::vector<double> spacing, noise;
  std::array<std::uint32_t, kAsked> index{};
  std::array<double, kAsked> d2{};
  std::vector<Vector3> near;
  for (std::size_t i = 0; i < used.size(); i += step) {
    const std::size_t found = tree.knnSearch(used[i].data(), kAsked, index.data(), d2.data());
    near.assign(1, used[i]);
    for (std::size_t k = 0; k < found && near.size() <= kNeighbours; ++k) {
      if (d2[k] <= same * same) continue;
      // A point coinciding with one already taken adds nothing.
      const Vector3& p = used[index[k]];
      if (std::any_of(near.begin(), near.end(),
                      [&](const Vector3& n) { return (n - p).squaredNorm() <= same * same; }))
        continue;
      if (near.size() == 1) spacing.push_back(std::sqrt(d2[k]));
      near.push_back(p);
    }
    if (near.size() > kNeighbours) noise.push_back(SurfaceRms(near));
  }
  if (spacing.size() < kFewest / 2 || noise.size() < kFewest / 2) return r;
  r.spacing = Median(spacing) / std::sqrt(static_cast<double>(thin));
  r.noise = Median(noise);
  r.sampled = noise.size();
  return r;
}

Tolerances ToleranceFor(const Side& copy, const Side& base) {
  // A vertex lands between the other side's points: its nearest one is
  // within about twice the median spacing for 95% of them (points spread at
  // random on a surface); noise off a surface stays within about twice its RMS.
  constexpr double kSpacingP95 = 2.1;
  constexpr double kNoiseP95 = 2.5;
  constexpr double kMargin = 1.5;
  const auto rel = [](const Side& s, double x) { return s.size > 0.0 ? x / s.size : 0.0; };
  const double cn = kNoiseP95 * rel(copy, copy.roughness.noise);
  const double bn = kNoiseP95 * rel(base, base.roughness.noise);
  const double cs = copy.hasFaces ? 0.0 : kSpacingP95 * rel(copy, copy.roughness.spacing);
  const double bs = base.hasFaces ? 0.0 : kSpacingP95 * rel(base, base.roughness.spacing);
  // Base vertices onto the copy, and the copy onto the moved base: onto its
  // surface when it has faces, which is exact however its vertices scatter
  // (on a coarse part that "noise" is its creases, not a blur of the surface).
  const double forward = std::hypot(cs, cn);
  const double reverse = base.hasFaces ? cn : std::hypot(bs, cn, bn);
  const auto bounded = [](double t) {
    return t > kDefaultTolerance ? std::min(t, kMostAutoTolerance) : kDefaultTolerance;
  };
  return {bounded(kMargin * forward), bounded(kMargin * reverse)};
}

}  // namespace korvane::geometry
