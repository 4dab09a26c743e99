#include "geometry/fit_target.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "geometry/point_sets.h"
#include "text/error.h"

namespace korvane::geometry {

FitTarget::FitTarget(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles,
                     unsigned threads)
    : vertices_(&vertices), triangles_(&triangles), threads_(threads) {
  CheckFittable(vertices, text::MeshRole::moved);
  if (triangles.empty()) {
    points_ = std::make_unique<PointIndex>(vertices);
  } else {
    // What the surface index would refuse is refused now, not when it is built.
    if (triangles.size() > std::numeric_limits<std::uint32_t>::max())
      throw Error(text::Refusal{text::Reason::index_too_many_triangles});
    // Vertices on no face are part of the mesh too: points are measured to
    // them as well as to the surface.
    std::vector<char> used(vertices.size(), 0);
    for (const Triangle& t : triangles) {
      for (const std::uint32_t i : t) {
        if (i >= vertices.size()) throw Error(text::Refusal{text::Reason::index_missing_vertex});
        used[i] = 1;
      }
    }
    for (std::size_t i = 0; i < vertices.size(); ++i) {
      if (!used[i]) loose_.push_back(vertices[i]);
    }
    if (!loose_.empty()) points_ = std::make_unique<PointIndex>(loose_);
  }
  size_ = BoundingDiagonal(vertices);
  spread_ = Spread(vertices);
}

FitTarget::~FitTarget() = default;

const SurfaceIndex& FitTarget::Surface() const {
  std::call_once(built_, [&] {
    surface_ = std::make_unique<SurfaceIndex>(*vertices_, *triangles_, threads_);
  });
  return *surface_;
}

void FitTarget::PairedDistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                                    std::vector<double>& out, unsigned threads) const {
  const std::vector<Vector3>& w = *vertices_;
  out.resize(base.size());
  // Each thread owns a range of vertices and looks at every triangle for the
  // corners in it: no two threads write one vertex, and min is exact, so the
  // result is the same on any number.
  ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = (TransformPoint(m, base[i]) - w[i]).norm();
    for (const Triangle& t : *triangles_) {
      for (const std::uint32_t c : t) {
        if (c < begin || c >= end) continue;
        const Vector3 p = TransformPoint(m, base[c]);
        const double d = (ClosestPointOnTriangle(p, w[t[0]], w[t[1]], w[t[2]]) - p).norm();
        if (d < out[c]) out[c] = d;
      }
    }
  });
}

void FitTarget::Closest(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                        unsigned threads) const {
  if (hasSurface()) {
    std::vector<double> d;
    Surface().ClosestBatch(queries, points, points_ ? &d : nullptr, threads);
    if (!points_) return;
    ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const PointIndex::Hit h = points_->Nearest(queries[i]);
        if (h.distanceSquared < d[i] * d[i]) points[i] = loose_[h.index];
      }
    });
    return;
  }
  points.resize(queries.size());
  const std::vector<std::uint32_t> order = SpatialOrder(queries);
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = order.empty() ? k : order[k];
      points[i] = (*vertices_)[points_->Nearest(queries[i]).index];
    }
  });
}

void FitTarget::ClosestWithNormals(const std::vector<Vector3>& queries,
                                   std::vector<Vector3>& points, std::vector<Vector3>& normals,
                                   unsigned threads, std::vector<std::uint32_t>* hints) const {
  normals.assign(queries.size(), Vector3::Zero());
  if (!hasSurface()) {
    Closest(queries, points, threads);
    return;
  }
  std::vector<double> d;
  std::vector<std::uint32_t> found;
  std::vector<std::uint32_t>& hit = hints != nullptr ? *hints : found;
  Surface().ClosestBatch(queries, points, &d, threads, &hit, &hit);
  const std::vector<Vector3>& v = *vertices_;
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (points_) {
        const PointIndex::Hit h = points_->Nearest(queries[i]);
        if (h.distanceSquared < d[i] * d[i]) {
          points[i] = loose_[h.index];
          continue;
        }
      }
      const Triangle& t = (*triangles_)[hit[i]];
      const Vector3 n = (v[t[1]] - v[t[0]]).cross(v[t[2]] - v[t[0]]);
      const double len = n.norm();
      if (len > 0.0) normals[i] = n / len;
    }
  });
}

std::vector<Vector3> FitTarget::SpreadPoints(std::size_t count) const {
  const std::vector<Vector3>& v = *vertices_;
  if (!hasSurface()) return Subsample(v, count);
  const std::vector<Triangle>& tris = *triangles_;
  std::vector<double> area(tris.size());
  double total = 0.0;
  for (std::size_t k = 0; k < tris.size(); ++k) {
    const Triangle& t = tris[k];
    area[k] = 0.5 * (v[t[1]] - v[t[0]]).cross(v[t[2]] - v[t[0]]).norm();
    total += area[k];
  }
  std::vector<Vector3> out;
  out.reserve(count + loose_.size());
  if (total > 0.0) {
    // Stratified along the running sum of areas; within a triangle a point
    // of a low-discrepancy sequence, folded into it.
    const double step = total / static_cast<double>(count);
    double next = 0.5 * step, sum = 0.0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < tris.size(); ++k) {
      sum += area[k];
      while (next < sum && out.size() < count) {
        double a = std::fmod(0.5 + 0.7548776662466927 * static_cast<double>(j), 1.0);
        double b = std::fmod(0.5 + 0.5698402909980532 * static_cast<double>(j), 1.0);
        if (a + b > 1.0) a = 1.0 - a, b = 1.0 - b;
        const Triangle& t = tris[k];
        out.push_back(v[t[0]] + a * (v[t[1]] - v[t[0]]) + b * (v[t[2]] - v[t[0]]));
        next += step;
        ++j;
      }
    }
  }
  out.insert(out.end(), loose_.begin(), loose_.end());
  if (out.size() < 3) return Subsample(v, count);
  return out;
}

void FitTarget::DistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                              std::vector<double>& out, unsigned threads) const {
  if (hasSurface()) {
    Surface().DistancesFrom(m, base, out, threads);
    if (!points_) return;
    ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const double d = std::sqrt(points_->Nearest(TransformPoint(m, base[i])).distanceSquared);
        if (d < out[i]) out[i] = d;
      }
    });
    return;
  }
  out.resize(base.size());
  // Points near each other before the motion are near each other after it.
  const std::vector<std::uint32_t> order = SpatialOrder(base);
  ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = order.empty() ? k : order[k];
      out[i] = std::sqrt(points_->Nearest(TransformPoint(m, base[i])).distanceSquared);
    }
  });
}

}  // namespace korvane::geometry
