#include "geometry/spatial.h"

#include <nanoflann.hpp>

#include <cmath>
#include <limits>

#include "platform/error.h"

namespace korvane::geometry {
namespace {

[[noreturn]] void Refuse(const char* reason) {
  throw Error(Error::Kind::refused, platform::Message().Own("cannot index the mesh: ").Own(reason));
}

Vector3 ClosestPointOnSegment(const Vector3& p, const Vector3& a, const Vector3& b) {
  const Vector3 d = b - a;
  const double dd = d.squaredNorm();
  if (!(dd > 0.0)) return a;
  const double t = std::clamp((p - a).dot(d) / dd, 0.0, 1.0);
  return a + t * d;
}

// Double to float, rounded towards -inf (lower) or +inf (upper), so that a
// float box always contains the double box it stands for.
float FloatDown(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}
float FloatUp(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

struct Box {
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity()};

  void Grow(const double* p) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  }
  void Grow(const Box& b) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], b.lo[k]);
      hi[k] = std::max(hi[k], b.hi[k]);
    }
  }
  // Half the surface area; only compared, so the factor does not matter.
  double HalfArea() const {
    const double x = hi[0] - lo[0], y = hi[1] - lo[1], z = hi[2] - lo[2];
    return x < 0.0 ? 0.0 : x * y + y * z + z * x;
  }
};

// Split quality is judged on 16 bins of centroid positions along the longest
// axis; leaves hold at most 8 triangles (fewer when splitting is cheaper).
constexpr int kBins = 16;
constexpr std::uint32_t kMaxLeaf = 8;
constexpr double kTraversalCost = 1.0;
// The traversal stack in Closest is sized for this depth.
constexpr std::uint32_t kMaxDepth = 200;

}  // namespace

namespace {

// Slivers: the nearest of the three edges, or of the inside of the plane
// when the foot of p falls there. Slower than the region method below, but it
// does not divide by the vanishing quantities of a nearly flat triangle.
Vector3 ClosestPointOnSliver(const Vector3& p, const Vector3& a, const Vector3& b, const Vector3& c,
                             const Vector3& n, double n2) {
  const Vector3 e[3] = {ClosestPointOnSegment(p, a, b), ClosestPointOnSegment(p, b, c),
                        ClosestPointOnSegment(p, c, a)};
  Vector3 best = e[0];
  for (int k = 1; k < 3; ++k) {
    if ((p - e[k]).squaredNorm() < (p - best).squaredNorm()) best = e[k];
  }
  if (n2 > 0.0) {
    const Vector3 q = p - (n.dot(p - a) / n2) * n;
    const double u = n.dot((b - q).cross(c - q));
    const double v = n.dot((c - q).cross(a - q));
    const double w = n.dot((a - q).cross(b - q));
    if (u >= 0.0 && v >= 0.0 && w >= 0.0 && (p - q).squaredNorm() < (p - best).squaredNorm()) best = q;
  }
  return best;
}

}  // namespace

Vector3 ClosestPointOnTriangle(const Vector3& p, const Vector3& a, const Vector3& b, const Vector3& c) {
  const Vector3 ab = b - a;
  const Vector3 ac = c - a;
  const Vector3 n = ab.cross(ac);
  const double n2 = n.squaredNorm();
  const double longest2 = std::max({ab.squaredNorm(), ac.squaredNorm(), (c - b).squaredNorm()});
  // Width under a thousandth of the length: the region method loses accuracy.
  if (!(n2 > 1e-6 * longest2 * longest2)) return ClosestPointOnSliver(p, a, b, c, n, n2);

  // Region tests on the barycentric coordinates, after Ericson, Real-Time
  // Collision Detection, 5.1.5: vertex regions, then edge regions, else inside.
  const Vector3 ap = p - a;
  const double d1 = ab.dot(ap);
  const double d2 = ac.dot(ap);
  if (d1 <= 0.0 && d2 <= 0.0) return a;
  const Vector3 bp = p - b;
  const double d3 = ab.dot(bp);
  const double d4 = ac.dot(bp);
  if (d3 >= 0.0 && d4 <= d3) return b;
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return a + (d1 / (d1 - d3)) * ab;
  const Vector3 cp = p - c;
  const double d5 = ab.dot(cp);
  const double d6 = ac.dot(cp);
  if (d6 >= 0.0 && d5 <= d6) return c;
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return a + (d2 / (d2 - d6)) * ac;
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) {
    return b + ((d4 - d3) / ((d4 - d3) + (d5 - d6))) * (c - b);
  }
  const double sum = va + vb + vc;
  return a + ab * (vb / sum) + ac * (vc / sum);
}

// ---------------------------------------------------------------------------
// PointIndex

namespace {

struct CloudAdaptor {
  const std::vector<Vector3>* points;
  std::size_t kdtree_get_point_count() const { return points->size(); }
  template <class I, class D>
  double kdtree_get_pt(I i, D dim) const {
    return (*points)[static_cast<std::size_t>(i)][static_cast<Eigen::Index>(dim)];
  }
  template <class B>
  bool kdtree_get_bbox(B&) const {
    return false;
  }
};

using KdTree = nanoflann::KDTreeSingleIndexAdaptor<
    nanoflann::L2_Simple_Adaptor<double, CloudAdaptor, double, std::uint32_t>, CloudAdaptor, 3,
    std::uint32_t>;

}  // namespace

struct PointIndex::Tree {
  explicit Tree(const std::vector<Vector3>& points)
      : adaptor{&points}, index(3, adaptor, nanoflann::KDTreeSingleIndexAdaptorParams(16)) {}
  CloudAdaptor adaptor;
  KdTree index;
};

PointIndex::PointIndex(const std::vector<Vector3>& points) {
  if (points.empty()) Refuse("the point list is empty");
  if (points.size() > std::numeric_limits<std::uint32_t>::max()) Refuse("it has too many vertices");
  tree_ = std::make_unique<Tree>(points);
}

PointIndex::~PointIndex() = default;

PointIndex::Hit PointIndex::Nearest(const Vector3& q) const {
  Hit h;
  h.distance_squared = std::numeric_limits<double>::infinity();
  tree_->index.knnSearch(q.data(), 1, &h.index, &h.distance_squared);
  return h;
}

void PointIndex::NearestBatch(const std::vector<Vector3>& queries, std::vector<Hit>& out,
                              unsigned threads) const {
  out.resize(queries.size());
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = Nearest(queries[i]);
  });
}

// ---------------------------------------------------------------------------
// SurfaceIndex

SurfaceIndex::SurfaceIndex(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles)
    : vertices_(&vertices), triangles_(&triangles) {
  if (triangles.empty()) Refuse("the triangle list is empty");
  if (triangles.size() > std::numeric_limits<std::uint32_t>::max()) Refuse("it has too many triangles");
  for (const Triangle& t : triangles) {
    if (t[0] >= vertices.size() || t[1] >= vertices.size() || t[2] >= vertices.size())
      Refuse("a triangle refers to a vertex that does not exist");
  }
  Build();
}

void SurfaceIndex::Build() {
  const std::vector<Vector3>& v = *vertices_;
  const std::vector<Triangle>& tris = *triangles_;
  const auto n = static_cast<std::uint32_t>(tris.size());

  // Centroids as floats: only used to sort triangles into bins, a third of
  // the memory of doubles on meshes of millions of triangles.
  std::vector<std::array<float, 3>> centroid(n);
  Box root_box, root_cbox;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Vector3 c = (v[tris[i][0]] + v[tris[i][1]] + v[tris[i][2]]) / 3.0;
    double cd[3];
    for (int k = 0; k < 3; ++k) {
      centroid[i][static_cast<std::size_t>(k)] = static_cast<float>(c[k]);
      cd[k] = static_cast<double>(centroid[i][static_cast<std::size_t>(k)]);
    }
    root_cbox.Grow(cd);
    for (int k = 0; k < 3; ++k) root_box.Grow(v[tris[i][static_cast<std::size_t>(k)]].data());
  }
  order_.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) order_[i] = i;

  struct Task {
    std::uint32_t begin, end, depth;
    std::uint32_t parent;  // whose right child this is, or none
    Box box, cbox;
  };
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<Task> stack;
  stack.push_back({0, n, 0, kNone, root_box, root_cbox});
  nodes_.clear();
  nodes_.reserve(n / 2 + 1);

  struct Bin {
    Box box, cbox;
    std::uint32_t count = 0;
  };
  const auto grow_triangle = [&](Box& b, std::uint32_t t) {
    for (int k = 0; k < 3; ++k) b.Grow(v[tris[t][static_cast<std::size_t>(k)]].data());
  };
  const auto grow_centroid = [&](Box& b, std::uint32_t t) {
    const double c[3] = {centroid[t][0], centroid[t][1], centroid[t][2]};
    b.Grow(c);
  };

  while (!stack.empty()) {
    const Task task = stack.back();
    stack.pop_back();
    const auto self = static_cast<std::uint32_t>(nodes_.size());
    if (task.parent != kNone) nodes_[task.parent].index = self;
    Node node{};
    for (int k = 0; k < 3; ++k) {
      node.lo[k] = FloatDown(task.box.lo[k]);
      node.hi[k] = FloatUp(task.box.hi[k]);
    }
    node.index = task.begin;
    node.count = task.end - task.begin;
    nodes_.push_back(node);

    const std::uint32_t count = task.end - task.begin;
    if (count <= 2 || task.depth >= kMaxDepth) continue;

    int axis = 0;
    for (int k = 1; k < 3; ++k) {
      if (task.cbox.hi[k] - task.cbox.lo[k] > task.cbox.hi[axis] - task.cbox.lo[axis]) axis = k;
    }
    const double extent = task.cbox.hi[axis] - task.cbox.lo[axis];
    const double scale = kBins / extent;
    std::uint32_t mid;
    Task left{task.begin, 0, task.depth + 1, kNone, {}, {}};
    Task right{0, task.end, task.depth + 1, self, {}, {}};
    if (extent > 0.0 && std::isfinite(scale)) {
      const auto bin_of = [&](std::uint32_t t) {
        const int b = static_cast<int>((centroid[t][static_cast<std::size_t>(axis)] - task.cbox.lo[axis]) * scale);
        return std::min(b, kBins - 1);
      };
      Bin bins[kBins];
      for (std::uint32_t i = task.begin; i < task.end; ++i) {
        const std::uint32_t t = order_[i];
        Bin& b = bins[bin_of(t)];
        ++b.count;
        grow_triangle(b.box, t);
        grow_centroid(b.cbox, t);
      }
      // Cost of splitting after bin i: area-weighted triangle counts.
      double right_cost[kBins] = {};
      Box acc;
      std::uint32_t acc_count = 0;
      for (int i = kBins - 1; i > 0; --i) {
        acc.Grow(bins[i].box);
        acc_count += bins[i].count;
        right_cost[i] = acc.HalfArea() * acc_count;
      }
      acc = Box();
      acc_count = 0;
      int best = -1;
      double best_cost = std::numeric_limits<double>::infinity();
      for (int i = 0; i + 1 < kBins; ++i) {
        acc.Grow(bins[i].box);
        acc_count += bins[i].count;
        if (acc_count == 0 || acc_count == count) continue;
        const double cost = acc.HalfArea() * acc_count + right_cost[i + 1];
        if (cost < best_cost) {
          best_cost = cost;
          best = i;
        }
      }
      const double area = task.box.HalfArea();
      if (best < 0) continue;  // cannot happen with extent > 0; kept as a leaf
      if (count <= kMaxLeaf && area * count <= kTraversalCost * area + best_cost) continue;
      mid = static_cast<std::uint32_t>(
          std::partition(order_.begin() + task.begin, order_.begin() + task.end,
                         [&](std::uint32_t t) { return bin_of(t) <= best; }) -
          order_.begin());
      for (int i = 0; i < kBins; ++i) {
        Task& side = i <= best ? left : right;
        side.box.Grow(bins[i].box);
        side.cbox.Grow(bins[i].cbox);
      }
    } else {
      // All centroids at one point: nothing to sort by, halve the range.
      if (count <= kMaxLeaf) continue;
      mid = task.begin + count / 2;
      for (std::uint32_t i = task.begin; i < task.end; ++i) {
        Task& side = i < mid ? left : right;
        grow_triangle(side.box, order_[i]);
        grow_centroid(side.cbox, order_[i]);
      }
    }
    nodes_[self].count = 0;
    left.end = mid;
    right.begin = mid;
    stack.push_back(right);
    stack.push_back(left);  // next: becomes node self + 1
  }
  if (nodes_.capacity() > nodes_.size() + nodes_.size() / 4) nodes_.shrink_to_fit();
}

double SurfaceIndex::BoxDistanceSquared(const Node& n, const Vector3& q) const {
  double d = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double lo = static_cast<double>(n.lo[k]);
    const double hi = static_cast<double>(n.hi[k]);
    const double x = q[k];
    const double g = x < lo ? lo - x : (x > hi ? x - hi : 0.0);
    d += g * g;
  }
  return d;
}

SurfaceIndex::Hit SurfaceIndex::Closest(const Vector3& q) const {
  const std::vector<Vector3>& v = *vertices_;
  const std::vector<Triangle>& tris = *triangles_;
  Hit best;
  best.distance_squared = std::numeric_limits<double>::infinity();
  best.triangle = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t stack[kMaxDepth + 8];
  std::size_t sp = 0;
  stack[sp++] = 0;
  // Boxes no nearer than the best so far are skipped, but ties are still
  // visited: the lowest triangle index among equals wins whatever the order.
  while (sp != 0) {
    const Node& n = nodes_[stack[--sp]];
    if (BoxDistanceSquared(n, q) > best.distance_squared) continue;
    if (n.count != 0) {
      for (std::uint32_t i = n.index; i < n.index + n.count; ++i) {
        const std::uint32_t t = order_[i];
        const Vector3 c = ClosestPointOnTriangle(q, v[tris[t][0]], v[tris[t][1]], v[tris[t][2]]);
        const double d = (q - c).squaredNorm();
        if (d < best.distance_squared || (d == best.distance_squared && t < best.triangle)) {
          best.distance_squared = d;
          best.point = c;
          best.triangle = t;
        }
      }
      continue;
    }
    const std::uint32_t l = static_cast<std::uint32_t>(&n - nodes_.data()) + 1;
    const std::uint32_t r = n.index;
    const double dl = BoxDistanceSquared(nodes_[l], q);
    const double dr = BoxDistanceSquared(nodes_[r], q);
    // The nearer child goes on top, so it is searched first.
    const bool left_first = dl <= dr;
    const std::uint32_t first = left_first ? l : r, second = left_first ? r : l;
    const double d_first = left_first ? dl : dr, d_second = left_first ? dr : dl;
    if (d_second <= best.distance_squared) stack[sp++] = second;
    if (d_first <= best.distance_squared) stack[sp++] = first;
  }
  return best;
}

void SurfaceIndex::ClosestBatch(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                                std::vector<double>* distances, unsigned threads) const {
  points.resize(queries.size());
  if (distances != nullptr) distances->resize(queries.size());
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const Hit h = Closest(queries[i]);
      points[i] = h.point;
      if (distances != nullptr) (*distances)[i] = std::sqrt(h.distance_squared);
    }
  });
}

void SurfaceIndex::DistancesFrom(const Matrix4& m, const std::vector<Vector3>& points,
                                 std::vector<double>& out, unsigned threads) const {
  out.resize(points.size());
  ParallelRanges(points.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      out[i] = std::sqrt(Closest(TransformPoint(m, points[i])).distance_squared);
  });
}

}  // namespace korvane::geometry
