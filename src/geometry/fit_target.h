// The target: the moved mesh as nearest-point queries see it, and the
// correspondences a motion gives every base vertex on it (the closest point,
// with its face's normal; the distance; the paired vertex of the same number).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/spatial.h"

namespace korvane::geometry {

// The moved mesh as nearest-point queries see it: its surface when it has
// triangles, otherwise its vertices. Keeps references: both arrays must
// outlive it. Refuses vertices that cannot be fitted (see above) and
// triangles referring to vertices that do not exist. The surface index is
// built when first needed (a copy whose vertices pair up within the
// tolerance needs none), on up to `threads` threads (0: every core), the
// same for any number.
class FitTarget {
 public:
  FitTarget(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles,
            unsigned threads = 0);
  // It keeps references, so a temporary array would dangle.
  FitTarget(const std::vector<Vector3>&, std::vector<Triangle>&&, unsigned = 0) = delete;
  FitTarget(std::vector<Vector3>&&, const std::vector<Triangle>&, unsigned = 0) = delete;
  FitTarget(std::vector<Vector3>&&, std::vector<Triangle>&&, unsigned = 0) = delete;
  ~FitTarget();

  const std::vector<Vector3>& vertices() const { return *vertices_; }
  const std::vector<Triangle>& triangles() const { return *triangles_; }
  bool hasSurface() const { return !triangles_->empty(); }
  // Bounding-box diagonal: the length residuals are relative to.
  double size() const { return size_; }
  double spread() const { return spread_; }

  // points[i] = the target point closest to queries[i].
  void Closest(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
               unsigned threads) const;
  // The same, with normals[i] the unit normal of the triangle points[i] lies
  // on (zero where it is a vertex on no triangle, or the triangle has no area).
  // `hints`, when not null, carries each query's triangle from one call to
  // the next (the same queries moved a little, as ICP asks them): read when
  // it has one per query, then replaced by the answers. Only faster.
  void ClosestWithNormals(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                          std::vector<Vector3>& normals, unsigned threads,
                          std::vector<std::uint32_t>* hints = nullptr) const;
  // About `count` points spread evenly over the surface by area (without
  // one, every k-th vertex), plus the vertices on no triangle; the same every time.
  std::vector<Vector3> SpreadPoints(std::size_t count) const;
  // out[i] = distance from TransformPoint(m, base[i]) to the target.
  void DistancesFrom(const Matrix4& m, const std::vector<Vector3>& base, std::vector<double>& out,
                     unsigned threads) const;
  // out[i] = distance from TransformPoint(m, base[i]) to target vertex i and
  // the triangles around it (equal vertex counts): never less than
  // DistancesFrom's, the same unless another part of the mesh passes closer.
  void PairedDistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                           std::vector<double>& out, unsigned threads) const;

 private:
  const SurfaceIndex& Surface() const;

  const std::vector<Vector3>* vertices_;
  const std::vector<Triangle>* triangles_;
  unsigned threads_ = 0;
  mutable std::once_flag built_;
  mutable std::unique_ptr<SurfaceIndex> surface_;
  std::vector<Vector3> loose_;          // vertices on no triangle, when there is a surface
  std::unique_ptr<PointIndex> points_;  // every vertex without a surface, else the loose ones
  double size_ = 0.0;
  double spread_ = 0.0;
};

}  // namespace korvane::geometry
