// Nearest-point queries on meshes of millions of elements: a k-d tree over
// vertices and a bounding-volume hierarchy over triangles, with batches spread
// over threads. Every query is answered on its own, so a batch gives the same
// bits whatever the number of threads.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/geometry.h"
#include "platform/workers.h"

namespace korvane::geometry {

// Three 0-based indices into a vertex array.
using Triangle = std::array<std::uint32_t, 3>;

using platform::BatchThreads;
using platform::ParallelRanges;
using platform::ParallelTasks;

// The point of triangle (a, b, c) closest to p. Slivers and degenerate
// triangles (zero area, coinciding corners) are accurate too.
Vector3 ClosestPointOnTriangle(const Vector3& p, const Vector3& a, const Vector3& b,
                               const Vector3& c);

// The order in which to answer a batch of queries: along a Morton curve
// over their box, so that consecutive ones meet the same tree nodes, and
// the same vertices, in the cache (queries in random order miss it at every
// level). Empty for a batch too small to gain: then in the order given.
std::vector<std::uint32_t> SpatialOrder(const std::vector<Vector3>& queries);

// Nearest vertex queries over a point array (a nanoflann k-d tree). The
// array must outlive the index and must not change while it is in use.
class PointIndex {
 public:
  struct Hit {
    std::uint32_t index = 0;       // of the nearest point
    double distanceSquared = 0.0;  // to it
  };

  // Refuses (korvane::Error) arrays with no point or more than 2^32 - 1.
  explicit PointIndex(const std::vector<Vector3>& points);
  ~PointIndex();
  PointIndex(const PointIndex&) = delete;
  PointIndex& operator=(const PointIndex&) = delete;

  Hit Nearest(const Vector3& q) const;

 private:
  struct Tree;
  std::unique_ptr<Tree> tree_;
};

// Closest points on a triangle surface: a bounding-volume hierarchy built by
// binned surface-area heuristic, boxes stored as outward-rounded floats (32
// bytes a node). Batches start each query from the previous answer, which
// pays when neighbouring queries are near each other (vertices in file
// order). The vertex and triangle arrays must outlive the index and must not
// change while it is in use.
class SurfaceIndex {
 public:
  struct Hit {
    Vector3 point;                 // closest point of the surface
    double distanceSquared = 0.0;  // from the query to it
    std::uint32_t triangle = 0;    // the triangle it lies on (the lowest index on ties)
  };

  // Refuses (korvane::Error) an empty triangle list and indices out of range.
  // Builds on up to `threads` threads (0: every core); the index is the same
  // for any number.
  SurfaceIndex(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles,
               unsigned threads = 0);

  Hit Closest(const Vector3& q) const;
  // points[i] = closest surface point to queries[i]; `distances`, when not
  // null, receives the distances (not squared), `triangles` the triangles
  // the points lie on. `hints`, when it holds a triangle for every query
  // (the answers of the same queries a step before), starts each search
  // there: a point that moved little is answered in a few box tests, even
  // far from the surface. The answers do not depend on them.
  void ClosestBatch(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                    std::vector<double>* distances, unsigned threads = 0,
                    std::vector<std::uint32_t>* triangles = nullptr,
                    const std::vector<std::uint32_t>* hints = nullptr) const;
  // out[i] = distance from TransformPoint(m, points[i]) to the surface,
  // without holding the moved points.
  void DistancesFrom(const Matrix4& m, const std::vector<Vector3>& points, std::vector<double>& out,
                     unsigned threads = 0) const;

  std::size_t nodeCount() const { return nodeCount_; }
  // The same hierarchy, node for node, and the same triangle order.
  bool SameTree(const SurfaceIndex& other) const;

 private:
  // Inner node: count == 0, left child right after it, right child at
  // `index`. Leaf: triangles order_[index .. index + count).
  struct Node {
    float lo[3];
    float hi[3];
    std::uint32_t index;
    std::uint32_t count;
  };
  struct Builder;
  void Build(unsigned threads);
  double BoxDistanceSquared(const Node& n, const Vector3& q) const;
  // `hint`: a triangle likely near q (the answer of the previous query), or
  // out of range. The answer does not depend on it.
  Hit Closest(const Vector3& q, std::uint32_t hint) const;

  const std::vector<Vector3>* vertices_;
  const std::vector<Triangle>* triangles_;
  double largest_ = 0.0;  // largest absolute coordinate of any vertex
  // The boxes are aligned with these axes (rows), not the coordinates'
  // when that makes them much smaller: a copy turned by an arbitrary
  // rotation turns its long slivers (a CAD part's faces, an extruded
  // profile) across the coordinate axes, and their boxes grow into cubes
  // that every nearby query visits.
  Eigen::Matrix3d frame_ = Eigen::Matrix3d::Identity();
  bool framed_ = false;
  std::vector<std::uint32_t> order_;
  // Room for the largest tree of that many triangles; nodeCount_ are used,
  // the rest never written.
  std::unique_ptr<Node[]> nodes_;
  std::size_t nodeCount_ = 0;
};

}  // namespace korvane::geometry
