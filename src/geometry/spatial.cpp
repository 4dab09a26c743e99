#include "geometry/spatial.h"

#include <Eigen/Eigenvalues>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <nanoflann.hpp>
#include <utility>

#include "geometry/cloud_adaptor.h"
#include "text/catalogue.h"
#include "text/error.h"

namespace korvane::geometry {
namespace {

[[noreturn]] void Refuse(text::Reason reason) { throw Error(text::Refusal{reason}); }

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
  double hi[3] = {-std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity(),
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
// axis. A split leaves at least kMinLeaf triangles on each side, so a tree
// over n triangles has fewer than 2n / kMinLeaf nodes; nodes of up to
// kMaxLeaf triangles stay leaves when splitting would not pay.
constexpr int kBins = 16;
constexpr std::uint32_t kMinLeaf = 4;
constexpr std::uint32_t kMaxLeaf = 8;
constexpr double kTraversalCost = 1.0;
// Relative error allowed for in comparing box and triangle distances: far
// above the rounding of either, far below anything a caller could notice.
constexpr double kPruneSlack = 1.0 + 1e-12;
// A computed closest point may lie off its triangle by rounding of the
// coordinates: a few units in the last place of the largest one. Box and
// plane tests allow this much times the largest coordinate (of the query or
// any vertex) besides, so they never drop a triangle whose computed distance
// would win: the answer is the nearest of all triangles whatever the
// visiting order, hint or tree.
constexpr double kRoundingReach = 1e-14;
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
    if (u >= 0.0 && v >= 0.0 && w >= 0.0 && (p - q).squaredNorm() < (p - best).squaredNorm())
      best = q;
  }
  return best;
}

// Width under a thousandth of the length: the region method loses accuracy.
inline bool IsSliver(const Vector3& ab, const Vector3& ac, const Vector3& bc, double n2) {
  const double longest2 = std::max({ab.squaredNorm(), ac.squaredNorm(), bc.squaredNorm()});
  return !(n2 > 1e-6 * longest2 * longest2);
}

// The region method for a triangle that is no sliver; ab = b - a, ac = c - a.
inline Vector3 ClosestPointRegions(const Vector3& p, const Vector3& a, const Vector3& b,
                                   const Vector3& c, const Vector3& ab, const Vector3& ac) {
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

}  // namespace

Vector3 ClosestPointOnTriangle(const Vector3& p, const Vector3& a, const Vector3& b,
                               const Vector3& c) {
  const Vector3 ab = b - a;
  const Vector3 ac = c - a;
  const Vector3 n = ab.cross(ac);
  const double n2 = n.squaredNorm();
  if (IsSliver(ab, ac, c - b, n2)) return ClosestPointOnSliver(p, a, b, c, n, n2);
  return ClosestPointRegions(p, a, b, c, ab, ac);
}

namespace {

// Spreads the low 21 bits of x to every third bit.
std::uint64_t SpreadBits(std::uint64_t x) {
  x &= 0x1fffff;
  x = (x | x << 32) & 0x1f00000000ffffULL;
  x = (x | x << 16) & 0x1f0000ff0000ffULL;
  x = (x | x << 8) & 0x100f00f00f00f00fULL;
  x = (x | x << 4) & 0x10c30c30c30c30c3ULL;
  x = (x | x << 2) & 0x1249249249249249ULL;
  return x;
}

// Batches smaller than this are answered in the order given.
constexpr std::size_t kOrderedBatch = 256;

}  // namespace

std::vector<std::uint32_t> SpatialOrder(const std::vector<Vector3>& queries) {
  const std::size_t n = queries.size();
  if (n < kOrderedBatch || n > std::numeric_limits<std::uint32_t>::max()) return {};
  Box box;
  for (const Vector3& q : queries) {
    if (q.allFinite()) box.Grow(q.data());
  }
  constexpr double kCells = 2097151.0;  // 2^21 - 1 a side
  double scale[3];
  for (int k = 0; k < 3; ++k) {
    const double extent = box.hi[k] - box.lo[k];
    scale[k] = extent > 0.0 && std::isfinite(kCells / extent) ? kCells / extent : 0.0;
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t code = 0;
    for (int k = 0; k < 3; ++k) {
      // NaN and infinite coordinates go to cell 0: only the order changes.
      const double cell = (queries[i][k] - box.lo[k]) * scale[k];
      const auto c = cell >= 0.0 && cell <= kCells ? static_cast<std::uint64_t>(cell) : 0;
      code |= SpreadBits(c) << k;
    }
    keys[i] = {code, static_cast<std::uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = keys[i].second;
  return order;
}

// ---------------------------------------------------------------------------
// PointIndex

namespace {

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
  if (points.empty()) Refuse(text::Reason::index_no_points);
  if (points.size() > std::numeric_limits<std::uint32_t>::max())
    Refuse(text::Reason::index_too_many_vertices);
  tree_ = std::make_unique<Tree>(points);
}

PointIndex::~PointIndex() = default;

PointIndex::Hit PointIndex::Nearest(const Vector3& q) const {
  Hit h;
  h.distanceSquared = std::numeric_limits<double>::infinity();
  tree_->index.knnSearch(q.data(), 1, &h.index, &h.distanceSquared);
  return h;
}

// ---------------------------------------------------------------------------
// SurfaceIndex

namespace {

// Triangles and vertices looked at to choose the boxes' axes, at most.
constexpr std::size_t kFrameSample = 1 << 16;
// Another frame is taken only when its boxes are this much smaller: about
// equal ones are not worth turning every query.
constexpr double kFrameGain = 0.7;
// Boxes in a turned frame are widened by this much of the largest
// coordinate besides: the turned corners and queries are rounded (a few
// units in the last place), the boxes must still hold the triangles.
constexpr double kFrameReach = 1e-14;

// The summed box areas of (every k-th) triangle with its corners turned by
// `frame`: what a query pays for boxes that hold much empty space.
double BoxAreas(const std::vector<Vector3>& v, const std::vector<Triangle>& tris,
                const Eigen::Matrix3d& frame) {
  const std::size_t stride = std::max<std::size_t>(1, tris.size() / kFrameSample);
  double sum = 0.0;
  for (std::size_t i = 0; i < tris.size(); i += stride) {
    const Triangle& t = tris[i];
    const Vector3 a = frame * v[t[0]], b = frame * v[t[1]], c = frame * v[t[2]];
    const Vector3 e = a.cwiseMax(b).cwiseMax(c) - a.cwiseMin(b).cwiseMin(c);
    sum += e.x() * e.y() + e.y() * e.z() + e.z() * e.x();
  }
  return sum;
}

// The axes the boxes are aligned with: the coordinates', or those of the
// triangles' edges (long edges weigh most: the slivers whose boxes a turn
// fattens most), or the vertices' principal axes, whichever holds the
// triangles in much smaller boxes. Depends only on the mesh.
Eigen::Matrix3d BoxFrame(const std::vector<Vector3>& v, const std::vector<Triangle>& tris) {
  const Eigen::Matrix3d identity = Eigen::Matrix3d::Identity();
  const std::size_t stride = std::max<std::size_t>(1, tris.size() / kFrameSample);
  Eigen::Matrix3d edges = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < tris.size(); i += stride) {
    const Triangle& t = tris[i];
    for (int k = 0; k < 3; ++k) {
      const Vector3 e =
          v[t[static_cast<std::size_t>((k + 1) % 3)]] - v[t[static_cast<std::size_t>(k)]];
      edges += e * e.transpose();
    }
  }
  const std::size_t vstride = std::max<std::size_t>(1, v.size() / kFrameSample);
  Vector3 mean = Vector3::Zero();
  std::size_t count = 0;
  for (std::size_t i = 0; i < v.size(); i += vstride, ++count) mean += v[i];
  mean /= static_cast<double>(std::max<std::size_t>(1, count));
  Eigen::Matrix3d spread = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < v.size(); i += vstride)
    spread += (v[i] - mean) * (v[i] - mean).transpose();
  Eigen::Matrix3d best = identity;
  double best_area = BoxAreas(v, tris, identity);
  for (const Eigen::Matrix3d& m : {edges, spread}) {
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(m);
    if (solver.info() != Eigen::Success || !solver.eigenvectors().allFinite()) continue;
    const Eigen::Matrix3d frame = solver.eigenvectors().transpose();
    const double area = BoxAreas(v, tris, frame);
    if (area < kFrameGain * best_area) {
      best = frame;
      best_area = area;
    }
  }
  return best;
}

}  // namespace

SurfaceIndex::SurfaceIndex(const std::vector<Vector3>& vertices,
                           const std::vector<Triangle>& triangles, unsigned threads)
    : vertices_(&vertices), triangles_(&triangles) {
  if (triangles.empty()) Refuse(text::Reason::index_no_triangles);
  if (triangles.size() > std::numeric_limits<std::uint32_t>::max())
    Refuse(text::Reason::index_too_many_triangles);
  for (const Triangle& t : triangles) {
    if (t[0] >= vertices.size() || t[1] >= vertices.size() || t[2] >= vertices.size())
      Refuse(text::Reason::index_missing_vertex);
  }
  bool finite = true;
  for (const Vector3& p : vertices) {
    largest_ = std::max(largest_, p.cwiseAbs().maxCoeff());
    finite = finite && p.allFinite();
  }
  if (finite) {
    frame_ = BoxFrame(vertices, triangles);
    framed_ = !frame_.isIdentity(0.0);
  }
  // Bins are merged by minimum and maximum, whose order matters only for NaN.
  Build(finite ? threads : 1);
}

namespace {

// Work items of the build: triangles order[begin, end) under one node.
struct Task {
  std::uint32_t begin, end, depth;
  std::uint32_t parent;  // whose right child this is, or none
  Box box, cbox;
};
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Nodes a subtree of n triangles may need: a split leaves at least kMinLeaf
// on each side, so there are at most n / kMinLeaf leaves. Subtrees of
// c1 + c2 + ... triangles under k - 1 nodes need no more than the whole.
std::size_t NodeBound(std::size_t n) { return n < kMinLeaf ? 1 : 2 * (n / kMinLeaf) - 1; }

// Subtrees of at most this many triangles are built whole by one thread, in
// the order of a single-thread build; the nodes above them one at a time.
// A fixed size, not a share of the threads, so the tree is the same for
// any number of them.
constexpr std::uint32_t kSubtreeTriangles = std::uint32_t{1} << 15;
// Nodes of more triangles than this bin them on several threads.
constexpr std::uint32_t kParallelBinning = std::uint32_t{1} << 17;

}  // namespace

// Builds the hierarchy into a node array with room for NodeBound(n) nodes:
// the nodes above the subtrees first, each subtree into a range of its
// NodeBound, the subtrees on several threads. Left children follow their
// parent, so every range starts with its subtree's root. Untouched ends of
// ranges are never written and cost address space only.
struct SurfaceIndex::Builder {
  const std::vector<Vector3>& v;
  const std::vector<Triangle>& tris;
  std::vector<std::uint32_t>& order;
  Node* nodes;
  double widen;  // see MakeNode

  // No per-triangle arrays besides the order: on meshes of millions of
  // triangles the index must stay small next to the mesh itself. Centroids
  // are recomputed from the vertices, always by the same expression, and
  // kept as the sum of the corners: three times the centroid, no division.
  double Centroid(std::uint32_t t, int k) const {
    return v[tris[t][0]][k] + v[tris[t][1]][k] + v[tris[t][2]][k];
  }
  // Grows b by the triangle, cb by its centroid; returns the centroid's
  // coordinate `axis`.
  double GrowTriangle(Box& b, Box& cb, std::uint32_t t, int axis = 0) const {
    const Vector3& p0 = v[tris[t][0]];
    const Vector3& p1 = v[tris[t][1]];
    const Vector3& p2 = v[tris[t][2]];
    double c[3];
    for (int k = 0; k < 3; ++k) {
      b.lo[k] = std::min({b.lo[k], p0[k], p1[k], p2[k]});
      b.hi[k] = std::max({b.hi[k], p0[k], p1[k], p2[k]});
      c[k] = p0[k] + p1[k] + p2[k];
    }
    cb.Grow(c);
    return c[axis];
  }

  // `widen`: a length every box is widened by besides (a turned frame's).
  static Node MakeNode(const Task& task, double widen) {
    Node node{};
    for (int k = 0; k < 3; ++k) {
      // Widened by a few units in the last place of the largest coordinate,
      // so that a closest point rounded onto the box's face is still inside.
      const double margin =
          1e-15 * std::max(std::fabs(task.box.lo[k]), std::fabs(task.box.hi[k])) + widen;
      node.lo[k] = FloatDown(task.box.lo[k] - margin);
      node.hi[k] = FloatUp(task.box.hi[k] + margin);
    }
    node.index = task.begin;
    node.count = task.end - task.begin;
    return node;
  }

  struct Bin {
    Box box, cbox;
    std::uint32_t count = 0;
  };

  // Splits `task` into `left` and `right` (reordering its triangles), or
  // returns false when it stays a leaf. Bins are merged by minimum, maximum
  // and count only, so binning on several threads gives the same split.
  // Every axis is binned and the cheapest split of the three taken: on a
  // thin shell or strip the longest axis would keep both faces in one box
  // far down the tree, and a query near either visits both.
  bool Split(const Task& task, Task& left, Task& right, unsigned threads) const {
    const std::uint32_t count = task.end - task.begin;
    if (count < 2 * kMinLeaf || task.depth >= kMaxDepth) return false;
    int longest = 0;
    double scale[3];
    bool any = false;
    for (int k = 0; k < 3; ++k) {
      if (task.cbox.hi[k] - task.cbox.lo[k] > task.cbox.hi[longest] - task.cbox.lo[longest])
        longest = k;
      const double extent = task.cbox.hi[k] - task.cbox.lo[k];
      scale[k] = kBins / extent;
      if (!(extent > 0.0 && std::isfinite(scale[k]))) scale[k] = 0.0;
      any = any || scale[k] > 0.0;
    }
    std::uint32_t mid = task.begin;
    left = Task{task.begin, 0, task.depth + 1, kNone, {}, {}};
    right = Task{0, task.end, task.depth + 1, kNone, {}, {}};
    bool split = false;
    if (any) {
      const auto bin_at = [&](int k, double c) {
        return std::min(static_cast<int>((c - task.cbox.lo[k]) * scale[k]), kBins - 1);
      };
      using Bins = std::array<std::array<Bin, kBins>, 3>;
      const auto fill = [&](Bins& bins, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          // Grown into a box of its own first: the bins are known only then.
          Box b, cb;
          GrowTriangle(b, cb, order[i]);
          for (int k = 0; k < 3; ++k) {
            if (scale[k] == 0.0) continue;
            Bin& bin =
                bins[static_cast<std::size_t>(k)][static_cast<std::size_t>(bin_at(k, cb.lo[k]))];
            ++bin.count;
            bin.box.Grow(b);
            bin.cbox.Grow(cb);
          }
        }
      };
      Bins bins{};
      if (count < kParallelBinning || threads == 1) {
        fill(bins, task.begin, task.end);
      } else {
        const unsigned t = BatchThreads(count, threads);
        std::vector<Bins> parts(t);
        ParallelTasks(t, t, [&](std::size_t k) {
          fill(parts[k], task.begin + count * k / t, task.begin + count * (k + 1) / t);
        });
        for (const Bins& part : parts) {
          for (std::size_t k = 0; k < 3; ++k) {
            for (std::size_t i = 0; i < kBins; ++i) {
              bins[k][i].box.Grow(part[k][i].box);
              bins[k][i].cbox.Grow(part[k][i].cbox);
              bins[k][i].count += part[k][i].count;
            }
          }
        }
      }
      int best = -1, best_axis = 0;
      double best_cost = std::numeric_limits<double>::infinity();
      for (int k = 0; k < 3; ++k) {
        if (scale[k] == 0.0) continue;
        const std::array<Bin, kBins>& axis_bins = bins[static_cast<std::size_t>(k)];
        // Cost of splitting after bin i: area-weighted triangle counts.
        double right_cost[kBins] = {};
        Box acc;
        std::uint32_t acc_count = 0;
        for (int i = kBins - 1; i > 0; --i) {
          acc.Grow(axis_bins[static_cast<std::size_t>(i)].box);
          acc_count += axis_bins[static_cast<std::size_t>(i)].count;
          right_cost[i] = acc.HalfArea() * acc_count;
        }
        acc = Box();
        acc_count = 0;
        for (int i = 0; i + 1 < kBins; ++i) {
          acc.Grow(axis_bins[static_cast<std::size_t>(i)].box);
          acc_count += axis_bins[static_cast<std::size_t>(i)].count;
          if (acc_count < kMinLeaf || count - acc_count < kMinLeaf) continue;
          const double cost = acc.HalfArea() * acc_count + right_cost[i + 1];
          if (cost < best_cost) {
            best_cost = cost;
            best = i;
            best_axis = k;
          }
        }
      }
      const double area = task.box.HalfArea();
      if (best >= 0) {
        if (count <= kMaxLeaf && area * count <= kTraversalCost * area + best_cost) return false;
        // The centroid by the same expression as in binning: the same bin.
        mid = static_cast<std::uint32_t>(
            std::partition(order.begin() + task.begin, order.begin() + task.end,
                           [&](std::uint32_t e) {
                             return bin_at(best_axis, Centroid(e, best_axis)) <= best;
                           }) -
            order.begin());
        const std::array<Bin, kBins>& axis_bins = bins[static_cast<std::size_t>(best_axis)];
        for (std::size_t i = 0; i < kBins; ++i) {
          Task& side = static_cast<int>(i) <= best ? left : right;
          side.box.Grow(axis_bins[i].box);
          side.cbox.Grow(axis_bins[i].cbox);
        }
        split = true;
      }
    }
    const int axis = longest;
    if (!split) {
      // No bin boundary leaves kMinLeaf on both sides, or all centroids
      // coincide: halve at the median centroid.
      if (count <= kMaxLeaf) return false;
      mid = task.begin + count / 2;
      std::nth_element(order.begin() + task.begin, order.begin() + mid, order.begin() + task.end,
                       [&](std::uint32_t a, std::uint32_t b) {
                         const double ca = Centroid(a, axis), cb = Centroid(b, axis);
                         return ca < cb || (ca == cb && a < b);
                       });
      for (std::uint32_t i = task.begin; i < task.end; ++i) {
        Task& side = i < mid ? left : right;
        GrowTriangle(side.box, side.cbox, order[i]);
      }
    }
    left.end = mid;
    right.begin = mid;
    return true;
  }

  // The subtree of `root` into nodes[at ...], depth first, left child right
  // after its parent; returns the number of nodes.
  std::uint32_t Subtree(const Task& root, std::uint32_t at) const {
    std::vector<Task> stack{root};
    std::uint32_t next = at;
    while (!stack.empty()) {
      const Task task = stack.back();
      stack.pop_back();
      const std::uint32_t self = next++;
      if (task.parent != kNone) nodes[task.parent].index = self;
      nodes[self] = MakeNode(task, widen);
      Task left, right;
      if (!Split(task, left, right, 1)) continue;
      nodes[self].count = 0;
      right.parent = self;
      stack.push_back(right);
      stack.push_back(left);  // next: becomes node self + 1
    }
    return next - at;
  }
};

void SurfaceIndex::Build(unsigned threads) {
  const std::vector<Triangle>& tris = *triangles_;
  const auto n = static_cast<std::uint32_t>(tris.size());
  order_.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) order_[i] = i;
  // Room for the largest possible tree; pages never written cost address
  // space only.
  nodes_.reset(new Node[NodeBound(n)]);
  // Boxes are built around the corners turned into the frame.
  std::vector<Vector3> turned;
  if (framed_) {
    const std::vector<Vector3>& v = *vertices_;
    turned.resize(v.size());
    ParallelRanges(v.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) turned[i] = frame_ * v[i];
    });
  }
  Builder b{framed_ ? turned : *vertices_, tris, order_, nodes_.get(),
            framed_ ? kFrameReach * largest_ : 0.0};

  Task root{0, n, 0, kNone, {}, {}};
  {
    const unsigned t = n < kParallelBinning ? 1u : BatchThreads(n, threads);
    std::vector<Box> boxes(t), cboxes(t);
    ParallelTasks(t, t, [&](std::size_t k) {
      for (std::size_t i = std::size_t{n} * k / t; i < std::size_t{n} * (k + 1) / t; ++i)
        b.GrowTriangle(boxes[k], cboxes[k], static_cast<std::uint32_t>(i));
    });
    for (unsigned k = 0; k < t; ++k) {
      root.box.Grow(boxes[k]);
      root.cbox.Grow(cboxes[k]);
    }
  }

  // The nodes above the subtrees, in the order a single thread visits them.
  std::vector<std::pair<Task, std::uint32_t>> subtrees;  // and where each goes
  std::uint32_t next = 0;
  std::size_t top = 0;
  std::vector<Task> stack{root};
  while (!stack.empty()) {
    const Task task = stack.back();
    stack.pop_back();
    if (task.end - task.begin <= kSubtreeTriangles) {
      if (task.parent != kNone) nodes_[task.parent].index = next;
      subtrees.emplace_back(task, next);
      subtrees.back().first.parent = kNone;  // linked above: workers write only their own range
      next += static_cast<std::uint32_t>(NodeBound(task.end - task.begin));
      continue;
    }
    const std::uint32_t self = next++;
    ++top;
    if (task.parent != kNone) nodes_[task.parent].index = self;
    nodes_[self] = Builder::MakeNode(task, b.widen);
    Task left, right;
    if (!b.Split(task, left, right, threads)) continue;
    nodes_[self].count = 0;
    right.parent = self;
    stack.push_back(right);
    stack.push_back(left);
  }
  std::vector<std::uint32_t> counts(subtrees.size());
  ParallelTasks(subtrees.size(), threads, [&](std::size_t k) {
    counts[k] = b.Subtree(subtrees[k].first, subtrees[k].second);
  });
  nodeCount_ = top;
  for (const std::uint32_t c : counts) nodeCount_ += c;
}

bool SurfaceIndex::SameTree(const SurfaceIndex& other) const {
  if (nodeCount_ != other.nodeCount_ || order_ != other.order_) return false;
  std::vector<std::uint32_t> stack{0};
  while (!stack.empty()) {
    const std::uint32_t i = stack.back();
    stack.pop_back();
    const Node& a = nodes_[i];
    const Node& b = other.nodes_[i];
    if (std::memcmp(&a, &b, sizeof(Node)) != 0) return false;
    if (a.count == 0) {
      stack.push_back(i + 1);
      stack.push_back(a.index);
    }
  }
  return true;
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
  return Closest(q, std::numeric_limits<std::uint32_t>::max());
}

SurfaceIndex::Hit SurfaceIndex::Closest(const Vector3& q, std::uint32_t hint) const {
  const std::vector<Vector3>& v = *vertices_;
  const std::vector<Triangle>& tris = *triangles_;
  Hit best;
  best.distanceSquared = std::numeric_limits<double>::infinity();
  best.triangle = std::numeric_limits<std::uint32_t>::max();
  // Squared distance from a box or a triangle's plane beyond which nothing
  // in it can win: the best distance so far plus what rounding may take off
  // a computed one (corners and edges of a triangle are within 2 x largest_
  // in each coordinate, the query within its own largest one of them).
  // In a turned frame the turned query is rounded too: as much again.
  const double rounding =
      kRoundingReach * (framed_ ? 2.0 : 1.0) * (6.0 * largest_ + q.cwiseAbs().maxCoeff());
  const Vector3 qb = framed_ ? Vector3(frame_ * q) : q;  // the query among the boxes
  double limit = std::numeric_limits<double>::infinity();
  const auto test = [&](std::uint32_t t) {
    const Vector3& a = v[tris[t][0]];
    const Vector3& b = v[tris[t][1]];
    const Vector3& c3 = v[tris[t][2]];
    const Vector3 ab = b - a;
    const Vector3 ac = c3 - a;
    const Vector3 n = ab.cross(ac);
    const double n2 = n.squaredNorm();
    Vector3 c;
    if (IsSliver(ab, ac, c3 - b, n2)) {
      c = ClosestPointOnSliver(q, a, b, c3, n, n2);
    } else {
      // No nearer than the plane: most triangles of a leaf end here.
      const double h = n.dot(q - a);
      if (h * h > limit * n2) return;
      c = ClosestPointRegions(q, a, b, c3, ab, ac);
    }
    const double d = (q - c).squaredNorm();
    if (d < best.distanceSquared || (d == best.distanceSquared && t < best.triangle)) {
      best.distanceSquared = d;
      best.point = c;
      best.triangle = t;
      const double reach = std::sqrt(d * kPruneSlack) + rounding;
      limit = reach * reach;
    }
  };
  // The hint (the answer of a nearby query) only tightens the bound early.
  if (hint < tris.size()) test(hint);
  // A box is skipped only when clearly farther than the best so far: rounding
  // in the distances must not skip a triangle that ties or wins, so the answer
  // is the lowest-index nearest triangle whatever the hint and visiting order.
  // Each entry keeps its box's distance, measured when it was pushed: the
  // bound may have tightened since, the box has not moved.
  struct Pending {
    std::uint32_t node;
    double distanceSquared;
  };
  Pending stack[kMaxDepth + 8];
  std::size_t sp = 0;
  stack[sp++] = Pending{0, BoxDistanceSquared(nodes_[0], qb)};
  while (sp != 0) {
    const Pending top = stack[--sp];
    if (top.distanceSquared > limit) continue;
    const Node& n = nodes_[top.node];
    if (n.count != 0) {
      for (std::uint32_t i = n.index; i < n.index + n.count; ++i) test(order_[i]);
      continue;
    }
    const std::uint32_t l = top.node + 1;
    const std::uint32_t r = n.index;
    const double dl = BoxDistanceSquared(nodes_[l], qb);
    const double dr = BoxDistanceSquared(nodes_[r], qb);
    // The nearer child goes on top, so it is searched first.
    const bool left_first = dl <= dr;
    const Pending near{left_first ? l : r, left_first ? dl : dr};
    const Pending far{left_first ? r : l, left_first ? dr : dl};
    if (far.distanceSquared <= limit) stack[sp++] = far;
    if (near.distanceSquared <= limit) stack[sp++] = near;
  }
  return best;
}

void SurfaceIndex::ClosestBatch(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                                std::vector<double>* distances, unsigned threads,
                                std::vector<std::uint32_t>* triangles,
                                const std::vector<std::uint32_t>* hints) const {
  const bool given = hints != nullptr && hints->size() == queries.size();
  points.resize(queries.size());
  if (distances != nullptr) distances->resize(queries.size());
  // (`triangles` may be `hints` itself: each entry is read before it is written.)
  if (triangles != nullptr && triangles->size() != queries.size())
    triangles->resize(queries.size());
  const std::vector<std::uint32_t> order = SpatialOrder(queries);
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    std::uint32_t hint = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = order.empty() ? k : order[k];
      // Each query's own hint when given and valid, else the previous answer.
      if (given && (*hints)[i] < triangles_->size()) hint = (*hints)[i];
      const Hit h = Closest(queries[i], hint);
      hint = h.triangle;
      points[i] = h.point;
      if (distances != nullptr) (*distances)[i] = std::sqrt(h.distanceSquared);
      if (triangles != nullptr) (*triangles)[i] = h.triangle;
    }
  });
}

void SurfaceIndex::DistancesFrom(const Matrix4& m, const std::vector<Vector3>& points,
                                 std::vector<double>& out, unsigned threads) const {
  out.resize(points.size());
  // Points near each other before the motion are near each other after it.
  const std::vector<std::uint32_t> order = SpatialOrder(points);
  ParallelRanges(points.size(), threads, [&](std::size_t begin, std::size_t end) {
    std::uint32_t hint = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = order.empty() ? k : order[k];
      const Hit h = Closest(TransformPoint(m, points[i]), hint);
      hint = h.triangle;
      out[i] = std::sqrt(h.distanceSquared);
    }
  });
}

}  // namespace korvane::geometry
