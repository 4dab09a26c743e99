#include "geometry/farthest.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvane {

namespace {

using Index = std::uint32_t;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Shared by SquaredDistance and the box bound. Every step is monotone under
// round-to-nearest, so larger |dx|, |dy|, |dz| can never give a smaller sum:
// evaluated on the widest per-axis gaps of two boxes it bounds every computed
// distance between them exactly, with no rounding margin needed.
inline double SumOfSquares(double dx, double dy, double dz) { return (dx * dx + dy * dy) + dz * dz; }

// Below this the double loop is as fast as building anything.
constexpr std::size_t kLiteralBelow = 48;
constexpr Index kLeafSize = 8;

// Slack on the parallelogram bound, which is computed from rounded centred
// coordinates: far above the few ulps of error, far below any real gap.
constexpr double kRelativeSlack = 1e-9;

// The parallelogram bound is used only where no square can overflow and no
// meaningful distance is near the subnormal range; elsewhere the box bound,
// exact in every case, works alone.
constexpr double kMaxCentredExtent = 1e150;
constexpr double kMinCentredRadius2 = 1e-200;

struct BestPair {
  double d = 0.0;
  Index a = 0;
  Index b = 0;

  // Requires i < j. An equal distance wins only from an earlier pair in (i, j)
  // order: the double loop keeps the first pair reaching the maximum. NaN never
  // wins, and nothing wins against (0, 0) at distance 0.
  void Offer(double dist, Index i, Index j) {
    if (dist >= d && (dist > d || i < a || (i == a && j < b))) {
      d = dist;
      a = i;
      b = j;
    }
  }
};

struct Point {
  double p[3];  // original coordinates: exact distances come from these
  double r2;    // squared distance from the centre, in centred coordinates
  Index index;
};

inline void OfferPair(const Point& p, const Point& q, BestPair& best) {
  // fl(a - b) == -fl(b - a), so the distance does not depend on the order.
  const double d = SumOfSquares(q.p[0] - p.p[0], q.p[1] - p.p[1], q.p[2] - p.p[2]);
  if (d >= best.d) {
    if (p.index < q.index) {
      best.Offer(d, p.index, q.index);
    } else {
      best.Offer(d, q.index, p.index);
    }
  }
}

struct Node {
  double lo[3];
  double hi[3];
  double clo[3];  // lo and hi relative to the centre
  double chi[3];
  double r2;  // largest r2 of the points inside
  Index begin;
  Index end;
  Index minIndex;  // smallest vertex index inside, for the tie order
  Index left;      // 0 for a leaf: the root is node 0 and never a child
  Index right;
};

// Widest gap per axis between any point of one box and any point of the
// other; NaN (infinite coordinates of equal sign) counts as unbounded.
inline double AxisGap(double hiQ, double loP, double hiP, double loQ) {
  const double a = hiQ - loP;
  const double b = hiP - loQ;
  if (std::isnan(a) || std::isnan(b)) return kInf;
  return a > b ? a : b;
}

double BoxBound(const Node& p, const Node& q) {
  return SumOfSquares(AxisGap(q.hi[0], p.lo[0], p.hi[0], q.lo[0]),
                      AxisGap(q.hi[1], p.lo[1], p.hi[1], q.lo[1]),
                      AxisGap(q.hi[2], p.lo[2], p.hi[2], q.lo[2]));
}

// Parallelogram law about the centre c: |p - q|^2 = 2|p - c|^2 + 2|q - c|^2
// - |p + q - 2c|^2. The box bound grows with the cell size, which on a
// sphere leaves every cell paired with hundreds of others; this one also
// demands that p + q - 2c can be near zero, i.e. that the cells are nearly
// opposite, and shrinks to the few cells around the antipode.
struct Parallelogram {
  bool enabled = false;
  double absoluteSlack = 0.0;

  double Bound(double r2p, double r2q, double gap2) const {
    const double base = 2.0 * (r2p + r2q);
    return (base - gap2) + kRelativeSlack * (base + gap2) + absoluteSlack;
  }

  double NodeBound(const Node& p, const Node& q) const {
    if (!enabled) return kInf;
    double gap2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double below = -(p.chi[k] + q.chi[k]);
      const double above = p.clo[k] + q.clo[k];
      const double g = std::max(0.0, std::max(below, above));
      gap2 += g * g;
    }
    return Bound(p.r2, q.r2, gap2);
  }
};

class PairSearch {
 public:
  // Sorts the points along a Morton curve of the box lo..hi and builds the
  // tree over that order: a radix sort and one bottom-up pass cost far less
  // than median splits.
  PairSearch(std::vector<Point>& points, const double lo[3], const double hi[3],
             const double centre[3], const Parallelogram& par, BestPair& best)
      : points_(points), par_(par), best_(best) {
    for (int k = 0; k < 3; ++k) centre_[k] = centre[k];
    SortAlongCurve(lo, hi);
    nodes_.reserve(4 * (points.size() / kLeafSize + 1));
    Build(0, static_cast<Index>(points.size()));
  }

  void Run() {
    struct Entry {
      Index p;
      Index q;
      double box;
      double par;
    };
    std::vector<Entry> stack;
    stack.push_back({0, 0, BoxBound(nodes_[0], nodes_[0]), par_.NodeBound(nodes_[0], nodes_[0])});
    Entry kids[3];
    double keys[3];
    while (!stack.empty()) {
      const Entry e = stack.back();
      stack.pop_back();
      if (Pruned(e.p, e.q, e.box, e.par)) continue;
      const Node& p = nodes_[e.p];
      const Node& q = nodes_[e.q];
      const bool pLeaf = p.left == 0;
      const bool qLeaf = q.left == 0;
      if (pLeaf && qLeaf) {
        Evaluate(p, q, e.p == e.q);
        continue;
      }
      int count = 0;
      if (e.p == e.q) {
        kids[0] = {p.left, p.left, 0.0, 0.0};
        kids[1] = {p.left, p.right, 0.0, 0.0};
        kids[2] = {p.right, p.right, 0.0, 0.0};
        count = 3;
      } else if (qLeaf || (!pLeaf && p.end - p.begin >= q.end - q.begin)) {
        kids[0] = {p.left, e.q, 0.0, 0.0};
        kids[1] = {p.right, e.q, 0.0, 0.0};
        count = 2;
      } else {
        kids[0] = {e.p, q.left, 0.0, 0.0};
        kids[1] = {e.p, q.right, 0.0, 0.0};
        count = 2;
      }
      for (int i = 0; i < count; ++i) {
        kids[i].box = BoxBound(nodes_[kids[i].p], nodes_[kids[i].q]);
        kids[i].par = par_.NodeBound(nodes_[kids[i].p], nodes_[kids[i].q]);
        keys[i] = std::min(kids[i].box, kids[i].par);
      }
      // Most promising pair last, so it is searched first and raises the
      // best distance early.
      for (int i = 1; i < count; ++i) {
        for (int j = i; j > 0 && keys[j] < keys[j - 1]; --j) {
          std::swap(keys[j], keys[j - 1]);
          std::swap(kids[j], kids[j - 1]);
        }
      }
      for (int i = 0; i < count; ++i) {
        if (!Pruned(kids[i].p, kids[i].q, kids[i].box, kids[i].par)) stack.push_back(kids[i]);
      }
    }
  }

 private:
  bool Pruned(Index pi, Index qi, double box, double par) const {
    if (par < best_.d || box < best_.d) return true;
    if (!(box <= best_.d)) return false;
    // Nothing here beats the best distance, so only an earlier pair at equal
    // distance could still win; see whether one can be inside.
    const Index mp = nodes_[pi].minIndex;
    const Index mq = nodes_[qi].minIndex;
    const Index first = std::min(mp, mq);
    const Index second = std::max(mp, mq);
    return first > best_.a || (first == best_.a && second >= best_.b);
  }

  void Evaluate(const Node& p, const Node& q, bool self) {
    for (Index i = p.begin; i < p.end; ++i) {
      const Point& a = points_[i];
      for (Index j = self ? i + 1 : q.begin; j < q.end; ++j) OfferPair(a, points_[j], best_);
    }
  }

  static std::uint32_t Spread(std::uint32_t x) {
    x = (x | (x << 16)) & 0x030000FFu;
    x = (x | (x << 8)) & 0x0300F00Fu;
    x = (x | (x << 4)) & 0x030C30C3u;
    x = (x | (x << 2)) & 0x09249249u;
    return x;
  }

  void SortAlongCurve(const double lo[3], const double hi[3]) {
    const std::size_t n = points_.size();
    // Cells of 1/1024 of the box per axis. Infinite or NaN cell numbers
    // (infinite coordinates) only cost speed: all bounds come from the points.
    double scale[3];
    for (int k = 0; k < 3; ++k) {
      const double extent = hi[k] - lo[k];
      scale[k] = extent > 0.0 ? 1023.0 / extent : 0.0;
    }
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t cell[3];
      for (int k = 0; k < 3; ++k) {
        const double t = (points_[i].p[k] - lo[k]) * scale[k];
        cell[k] = t >= 0.0 && t <= 1023.0 ? static_cast<std::uint32_t>(t) : 0u;
      }
      const std::uint32_t code = (Spread(cell[0]) << 2) | (Spread(cell[1]) << 1) | Spread(cell[2]);
      keys[i] = (static_cast<std::uint64_t>(code) << 32) | i;
    }
    std::vector<std::uint64_t> scratch(n);
    for (int shift = 32; shift < 62; shift += 10) {
      std::size_t count[1025] = {};
      for (const std::uint64_t key : keys) ++count[((key >> shift) & 1023u) + 1];
      for (std::size_t b = 1; b <= 1024; ++b) count[b] += count[b - 1];
      for (const std::uint64_t key : keys) scratch[count[(key >> shift) & 1023u]++] = key;
      keys.swap(scratch);
    }
    std::vector<Point> sorted(n);
    codes_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      sorted[i] = points_[keys[i] & 0xFFFFFFFFu];
      codes_[i] = static_cast<std::uint32_t>(keys[i] >> 32);
    }
    points_.swap(sorted);
  }

  // Splits where the Morton codes first differ, so children are halves of a
  // cell; runs of one code are halved by count.
  Index Build(Index begin, Index end) {
    const Index id = static_cast<Index>(nodes_.size());
    nodes_.emplace_back();
    Node node;
    node.begin = begin;
    node.end = end;
    node.left = 0;
    node.right = 0;
    if (end - begin <= kLeafSize) {
      const Point& first = points_[begin];
      node.r2 = first.r2;
      node.minIndex = first.index;
      for (int k = 0; k < 3; ++k) node.lo[k] = node.hi[k] = first.p[k];
      for (Index i = begin + 1; i < end; ++i) {
        const Point& pt = points_[i];
        for (int k = 0; k < 3; ++k) {
          node.lo[k] = std::min(node.lo[k], pt.p[k]);
          node.hi[k] = std::max(node.hi[k], pt.p[k]);
        }
        node.r2 = std::max(node.r2, pt.r2);
        node.minIndex = std::min(node.minIndex, pt.index);
      }
    } else {
      Index mid = begin + (end - begin) / 2;
      const std::uint32_t diff = codes_[begin] ^ codes_[end - 1];
      if (diff != 0) {
        std::uint32_t bit = 1u << 31;
        while ((diff & bit) == 0) bit >>= 1;
        // Codes in the range share every higher bit, so this bit is sorted.
        Index a = begin;
        Index b = end - 1;
        while (a < b) {
          const Index m = a + (b - a) / 2;
          if ((codes_[m] & bit) != 0) {
            b = m;
          } else {
            a = m + 1;
          }
        }
        mid = a;
      }
      node.left = Build(begin, mid);
      node.right = Build(mid, end);
      const Node& l = nodes_[node.left];
      const Node& r = nodes_[node.right];
      for (int k = 0; k < 3; ++k) {
        node.lo[k] = std::min(l.lo[k], r.lo[k]);
        node.hi[k] = std::max(l.hi[k], r.hi[k]);
      }
      node.r2 = std::max(l.r2, r.r2);
      node.minIndex = std::min(l.minIndex, r.minIndex);
    }
    for (int k = 0; k < 3; ++k) {
      node.clo[k] = node.lo[k] - centre_[k];
      node.chi[k] = node.hi[k] - centre_[k];
    }
    nodes_[id] = node;
    return id;
  }

  std::vector<Point>& points_;
  const Parallelogram& par_;
  BestPair& best_;
  double centre_[3];
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> codes_;
};

// Offers every pair of points[row] with another point.
void ScanRow(const std::vector<Point>& points, std::size_t row, BestPair& best) {
  const Point& a = points[row];
  for (std::size_t j = 0; j < points.size(); ++j) {
    if (j != row) OfferPair(a, points[j], best);
  }
}

std::size_t PositionOf(const std::vector<Point>& points, Index index) {
  // Points are still in vertex order here.
  const auto it = std::lower_bound(points.begin(), points.end(), index,
                                   [](const Point& p, Index i) { return p.index < i; });
  return static_cast<std::size_t>(it - points.begin());
}

// 13 directions: axes, face diagonals, body diagonals. The extremes along them
// come close to the diameter on any shape, which makes the first bound tight.
constexpr int kDirections = 13;
constexpr double kDirection[kDirections][3] = {
    {1, 0, 0},  {0, 1, 0},  {0, 0, 1},  {1, 1, 0},  {1, -1, 0},  {1, 0, 1},  {1, 0, -1},
    {0, 1, 1},  {0, 1, -1}, {1, 1, 1},  {1, 1, -1}, {1, -1, 1},  {-1, 1, 1}};

// C: the first vertex other than A and B with the largest positive area.
std::int32_t ChooseThird(const std::vector<Vector3>& v, std::size_t a, std::size_t b) {
  double bestArea = 0.0;
  std::size_t c = 0;
  for (std::size_t k = 0; k < v.size(); ++k) {
    if (k == a || k == b) continue;
    const double area = TriangleArea(v[a], v[b], v[k]);
    if (area > bestArea) {
      bestArea = area;
      c = k;
    }
  }
  return static_cast<std::int32_t>(c);
}

}  // namespace

double TriangleArea(const Vector3& a, const Vector3& b, const Vector3& p) {
  return 0.5 * ((p - a).cross(b - a)).norm();
}

double SquaredDistance(const Vector3& p, const Vector3& q) {
  return SumOfSquares(q.x() - p.x(), q.y() - p.y(), q.z() - p.z());
}

ReferenceIndices FarthestPointExhaustiveLiteral(const std::vector<Vector3>& v) {
  ReferenceIndices r;
  const std::size_t n = v.size();
  if (n < 2) return r;
  double best = 0.0;
  std::size_t a = 0;
  std::size_t b = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double d = SquaredDistance(v[i], v[j]);
      if (d > best) {
        best = d;
        a = i;
        b = j;
      }
    }
  }
  r.a = static_cast<std::int32_t>(a);
  r.b = static_cast<std::int32_t>(b);
  r.c = ChooseThird(v, a, b);
  return r;
}

ReferenceIndices FarthestPointExhaustive(const std::vector<Vector3>& v) {
  const std::size_t n = v.size();
  if (n < kLiteralBelow) return FarthestPointExhaustiveLiteral(v);

  // Vertices with a NaN coordinate are at NaN distance from everything and
  // never win; the rest are copied in vertex order.
  std::vector<Point> points;
  points.reserve(n);
  double lo[3] = {kInf, kInf, kInf};
  double hi[3] = {-kInf, -kInf, -kInf};
  bool finite = true;
  double extremeMin[kDirections];
  double extremeMax[kDirections];
  std::size_t argMin[kDirections];
  std::size_t argMax[kDirections];
  for (int k = 0; k < kDirections; ++k) {
    extremeMin[k] = kInf;
    extremeMax[k] = -kInf;
    argMin[k] = argMax[k] = n;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3& q = v[i];
    if (std::isnan(q.x()) || std::isnan(q.y()) || std::isnan(q.z())) continue;
    finite = finite && std::isfinite(q.x()) && std::isfinite(q.y()) && std::isfinite(q.z());
    const std::size_t pos = points.size();
    points.push_back({{q.x(), q.y(), q.z()}, 0.0, static_cast<Index>(i)});
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], q[k]);
      hi[k] = std::max(hi[k], q[k]);
    }
    for (int k = 0; k < kDirections; ++k) {
      const double* u = kDirection[k];
      const double t = (u[0] * q.x() + u[1] * q.y()) + u[2] * q.z();
      if (t < extremeMin[k]) {
        extremeMin[k] = t;
        argMin[k] = pos;
      }
      if (t > extremeMax[k]) {
        extremeMax[k] = t;
        argMax[k] = pos;
      }
    }
  }

  BestPair best;
  if (points.size() >= 2) {
    // The first usable vertex's row settles ties on heavily tied inputs (all
    // distances overflowing to infinity, say) before the search starts.
    ScanRow(points, 0, best);

    std::vector<std::size_t> extremes;
    for (int k = 0; k < kDirections; ++k) {
      if (argMin[k] < n) extremes.push_back(argMin[k]);
      if (argMax[k] < n) extremes.push_back(argMax[k]);
    }
    std::sort(extremes.begin(), extremes.end());
    extremes.erase(std::unique(extremes.begin(), extremes.end()), extremes.end());
    for (std::size_t i = 0; i < extremes.size(); ++i) {
      for (std::size_t j = i + 1; j < extremes.size(); ++j) {
        OfferPair(points[extremes[i]], points[extremes[j]], best);
      }
    }

    // A few rounds of "farthest from the current end" to approach a double
    // normal, the usual neighbourhood of the diameter.
    std::vector<Index> scanned{points[0].index};
    for (int round = 0; round < 4; ++round) {
      Index next = best.a;
      if (std::find(scanned.begin(), scanned.end(), next) != scanned.end()) next = best.b;
      if (std::find(scanned.begin(), scanned.end(), next) != scanned.end()) break;
      scanned.push_back(next);
      ScanRow(points, PositionOf(points, next), best);
    }

    double centre[3];
    for (int k = 0; k < 3; ++k) centre[k] = lo[k] + 0.5 * (hi[k] - lo[k]);
    double maxR2 = 0.0;
    Parallelogram par;
    par.enabled = finite;
    for (int k = 0; k < 3; ++k) par.enabled = par.enabled && hi[k] - lo[k] <= kMaxCentredExtent;
    if (par.enabled) {
      for (Point& pt : points) {
        pt.r2 = SumOfSquares(pt.p[0] - centre[0], pt.p[1] - centre[1], pt.p[2] - centre[2]);
        maxR2 = std::max(maxR2, pt.r2);
      }
      par.enabled = maxR2 >= kMinCentredRadius2;
      par.absoluteSlack = kRelativeSlack * maxR2;
    }

    // Keep only points that could still reach the best distance with some
    // other point: on real meshes this leaves the far ends of the shape.
    Node all;
    for (int k = 0; k < 3; ++k) {
      all.lo[k] = lo[k];
      all.hi[k] = hi[k];
    }
    std::size_t kept = 0;
    for (const Point& pt : points) {
      Node single;
      for (int k = 0; k < 3; ++k) single.lo[k] = single.hi[k] = pt.p[k];
      if (BoxBound(single, all) < best.d) continue;
      if (par.enabled && par.Bound(pt.r2, maxR2, 0.0) < best.d) continue;
      points[kept++] = pt;
    }
    points.resize(kept);

    if (points.size() >= 2) {
      PairSearch search(points, lo, hi, centre, par, best);
      search.Run();
    }
  }

  ReferenceIndices r;
  r.a = static_cast<std::int32_t>(best.a);
  r.b = static_cast<std::int32_t>(best.b);
  r.c = ChooseThird(v, best.a, best.b);
  return r;
}

ReferenceIndices FarthestPointByAxis(const std::vector<Vector3>& v, ReferenceIndices current) {
  if (v.empty()) return current;
  std::size_t minIdx[3] = {0, 0, 0};
  std::size_t maxIdx[3] = {0, 0, 0};
  for (std::size_t k = 0; k < v.size(); ++k) {
    for (Eigen::Index axis = 0; axis < 3; ++axis) {
      const std::size_t s = static_cast<std::size_t>(axis);
      if (v[k][axis] > v[maxIdx[s]][axis]) {
        maxIdx[s] = k;
      } else if (v[k][axis] < v[minIdx[s]][axis]) {
        minIdx[s] = k;
      }
    }
  }
  const double dx = v[maxIdx[0]].x() - v[minIdx[0]].x();
  const double dy = v[maxIdx[1]].y() - v[minIdx[1]].y();
  const double dz = v[maxIdx[2]].z() - v[minIdx[2]].z();
  std::size_t axis = 2;
  if (dx >= dy && dx >= dz) {
    axis = 0;
  } else if (dy >= dz) {
    axis = 1;
  }
  const std::size_t a = minIdx[axis];
  const std::size_t b = maxIdx[axis];
  const std::size_t candidates[6] = {minIdx[0], maxIdx[0], minIdx[1],
                                     maxIdx[1], minIdx[2], maxIdx[2]};
  ReferenceIndices r;
  r.a = static_cast<std::int32_t>(a);
  r.b = static_cast<std::int32_t>(b);
  r.c = current.c;
  double bestArea = 0.0;
  for (const std::size_t k : candidates) {
    const double area = TriangleArea(v[a], v[b], v[k]);
    if (area > bestArea) {
      bestArea = area;
      r.c = static_cast<std::int32_t>(k);
    }
  }
  return r;
}

}  // namespace korvane
