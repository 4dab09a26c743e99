#include "geometry/farthest.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvane::geometry {

namespace {

using Index = std::uint32_t;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Shared by SquaredDistance and the box bound. Every step is monotone under
// round-to-nearest, so larger |dx|, |dy|, |dz| can never give a smaller sum:
// evaluated on the widest per-axis gaps of two boxes it bounds every computed
// distance between them exactly, with no rounding margin needed.
inline double SumOfSquares(double dx, double dy, double dz) {
  return (dx * dx + dy * dy) + dz * dz;
}

// Below this the double loop is as fast as building anything.
constexpr std::size_t kLiteralBelow = 48;
constexpr Index kLeafSize = 16;

// Slack on the parallelogram bound, which is computed from rounded centred
// coordinates: far above its few ulps of error, far below any real gap.
constexpr double kRelativeSlack = 1e-9;

// The parallelogram bound is used only where no square can overflow and no
// meaningful distance is near the subnormal range; elsewhere the box bound,
// exact in every case, works alone.
constexpr double kMaxExtent = 1e150;
constexpr double kMinRadius2 = 1e-200;

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

  // fl(a - b) == -fl(b - a): the distance does not depend on the order.
  void OfferUnordered(double dist, Index i, Index j) {
    if (dist >= d) {
      if (i < j) {
        Offer(dist, i, j);
      } else {
        Offer(dist, j, i);
      }
    }
  }
};

void OfferVertices(const std::vector<Vector3>& v, std::size_t i, std::size_t j, BestPair& best) {
  best.OfferUnordered(SquaredDistance(v[i], v[j]), static_cast<Index>(i), static_cast<Index>(j));
}

// Every pair of v[row] with another vertex.
void ScanRow(const std::vector<Vector3>& v, std::size_t row, BestPair& best) {
  const Vector3 a = v[row];
  const Index r = static_cast<Index>(row);
  for (std::size_t j = 0; j < row; ++j) {
    const double d = SquaredDistance(a, v[j]);
    if (d >= best.d) best.Offer(d, static_cast<Index>(j), r);
  }
  for (std::size_t j = row + 1; j < v.size(); ++j) {
    const double d = SquaredDistance(a, v[j]);
    if (d >= best.d) best.Offer(d, r, static_cast<Index>(j));
  }
}

// Widest gap on one axis between a point of box P and a point of box Q. With
// infinite coordinates a difference can be NaN; the result is then NaN or
// infinite, and a NaN bound never prunes.
inline double AxisGap(double loP, double hiP, double loQ, double hiQ) {
  const double a = hiQ - loP;
  const double b = hiP - loQ;
  return a > b ? a : b;
}

inline double BoxBound(const double loP[3], const double hiP[3], const double loQ[3],
                       const double hiQ[3]) {
  return SumOfSquares(AxisGap(loP[0], hiP[0], loQ[0], hiQ[0]),
                      AxisGap(loP[1], hiP[1], loQ[1], hiQ[1]),
                      AxisGap(loP[2], hiP[2], loQ[2], hiQ[2]));
}

// Parallelogram law about a centre c: |p - q|^2 = 2|p - c|^2 + 2|q - c|^2 -
// |(p - c) + (q - c)|^2. The box bound grows with the cell size, which on a
// sphere leaves every cell paired with hundreds of others; this one also
// needs (p - c) + (q - c) to be near zero, i.e. the cells to be nearly
// opposite, and shrinks to the few cells around the antipode.
struct Parallelogram {
  bool enabled = false;
  double centre[3] = {0.0, 0.0, 0.0};
  double absoluteSlack = 0.0;

  double Radius2(const double q[3]) const {
    return SumOfSquares(q[0] - centre[0], q[1] - centre[1], q[2] - centre[2]);
  }

  double Bound(double r2p, double r2q, double gap2) const {
    const double base = 2.0 * (r2p + r2q);
    return (base - gap2) + kRelativeSlack * (base + gap2) + absoluteSlack;
  }

  // Boxes relative to the centre; r2P, r2Q: largest squared radius in each.
  // gap2 bounds |(p - c) + (q - c)|^2 from below through the box of the sums.
  double BoxPairBound(const double loP[3], const double hiP[3], double r2P, const double loQ[3],
                      const double hiQ[3], double r2Q) const {
    double gap2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double below = -(hiP[k] + hiQ[k]);
      const double above = loP[k] + loQ[k];
      const double g = std::max(0.0, std::max(below, above));
      gap2 += g * g;
    }
    return Bound(r2P, r2Q, gap2);
  }
};

struct Point {
  double p[3];
  Index index;
};

struct Node {
  double lo[3];
  double hi[3];
  double clo[3];  // lo and hi relative to the centre
  double chi[3];
  double r2;  // largest squared radius inside, for the parallelogram bound
  Index begin;
  Index end;
  Index minIndex;  // smallest vertex index inside, for the tie order
  Index left;      // 0 for a leaf: the root is node 0 and never a child
  Index right;
};

// Branch and bound over pairs of tree nodes: a pair of nodes is opened only
// while some pair of its points could still beat the best pair.
class PairSearch {
 public:
  // keys: (Morton code << 32) | vertex index of the points to search, sorted.
  PairSearch(const std::vector<Vector3>& v, const std::vector<std::uint64_t>& keys,
             const Parallelogram& par, BestPair& best)
      : keys_(keys), par_(par), best_(best) {
    points_.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const Index index = static_cast<Index>(keys[i] & 0xFFFFFFFFu);
      const Vector3& q = v[index];
      points_[i] = {{q.x(), q.y(), q.z()}, index};
    }
    nodes_.reserve(keys.size() / 2 + 1);
    Build(0, static_cast<Index>(keys.size()));
  }

  void Run() {
    struct Entry {
      Index p;
      Index q;
      double box;
      double par;
    };
    std::vector<Entry> stack;
    stack.push_back({0, 0, Box(0, 0), Par(0, 0)});
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
      int count = 2;
      if (e.p == e.q) {
        kids[0] = {p.left, p.left, 0.0, 0.0};
        kids[1] = {p.left, p.right, 0.0, 0.0};
        kids[2] = {p.right, p.right, 0.0, 0.0};
        count = 3;
      } else if (qLeaf || (!pLeaf && p.end - p.begin >= q.end - q.begin)) {
        kids[0] = {p.left, e.q, 0.0, 0.0};
        kids[1] = {p.right, e.q, 0.0, 0.0};
      } else {
        kids[0] = {e.p, q.left, 0.0, 0.0};
        kids[1] = {e.p, q.right, 0.0, 0.0};
      }
      // The parallelogram bound is the sharper one on round shapes; the box
      // bound is only needed for what it lets through.
      int kept = 0;
      for (int i = 0; i < count; ++i) {
        Entry k = kids[i];
        k.par = Par(k.p, k.q);
        if (k.par < best_.d) continue;
        k.box = Box(k.p, k.q);
        if (Pruned(k.p, k.q, k.box, k.par)) continue;
        // Most promising pair last, so it is searched first and raises the
        // best distance early.
        const double key = std::min(k.box, k.par);
        int j = kept++;
        for (; j > 0 && key < keys[j - 1]; --j) {
          keys[j] = keys[j - 1];
          kids[j] = kids[j - 1];
        }
        keys[j] = key;
        kids[j] = k;
      }
      stack.insert(stack.end(), kids, kids + kept);
    }
  }

 private:
  double Box(Index pi, Index qi) const {
    const Node& p = nodes_[pi];
    const Node& q = nodes_[qi];
    return BoxBound(p.lo, p.hi, q.lo, q.hi);
  }

  double Par(Index pi, Index qi) const {
    if (!par_.enabled) return kInf;
    const Node& p = nodes_[pi];
    const Node& q = nodes_[qi];
    return par_.BoxPairBound(p.clo, p.chi, p.r2, q.clo, q.chi, q.r2);
  }

  bool Pruned(Index pi, Index qi, double box, double par) const {
    if (par < best_.d || box < best_.d) return true;
    if (!(box <= best_.d)) return false;
    // Nothing here beats the best distance, so only an earlier pair at equal
    // distance could still win. Every pair inside is at or after (first,
    // second) in (i, j) order.
    const Index mp = nodes_[pi].minIndex;
    const Index mq = nodes_[qi].minIndex;
    const Index first = std::min(mp, mq);
    const Index second = std::max(mp, mq);
    return first > best_.a || (first == best_.a && second >= best_.b);
  }

  void Evaluate(const Node& p, const Node& q, bool self) {
    for (Index i = p.begin; i < p.end; ++i) {
      for (Index j = self ? i + 1 : q.begin; j < q.end; ++j) Offer(points_[i], points_[j]);
    }
  }

  void Offer(const Point& a, const Point& b) {
    const double d = SumOfSquares(b.p[0] - a.p[0], b.p[1] - a.p[1], b.p[2] - a.p[2]);
    best_.OfferUnordered(d, a.index, b.index);
  }

  std::uint32_t Code(Index i) const { return static_cast<std::uint32_t>(keys_[i] >> 32); }

  // Splits where the Morton codes first differ, so that the children are
  // halves of a cell; a run of one code is halved by count.
  Index Build(Index begin, Index end) {
    const Index id = static_cast<Index>(nodes_.size());
    nodes_.emplace_back();
    Node node;
    node.begin = begin;
    node.end = end;
    node.left = 0;
    node.right = 0;
    if (end - begin <= kLeafSize) {
      node.r2 = 0.0;
      node.minIndex = points_[begin].index;
      for (int k = 0; k < 3; ++k) node.lo[k] = node.hi[k] = points_[begin].p[k];
      for (Index i = begin; i < end; ++i) {
        const Point& pt = points_[i];
        for (int k = 0; k < 3; ++k) {
          node.lo[k] = std::min(node.lo[k], pt.p[k]);
          node.hi[k] = std::max(node.hi[k], pt.p[k]);
        }
        if (par_.enabled) node.r2 = std::max(node.r2, par_.Radius2(pt.p));
        node.minIndex = std::min(node.minIndex, pt.index);
      }
    } else {
      Index mid = begin + (end - begin) / 2;
      const std::uint32_t diff = Code(begin) ^ Code(end - 1);
      if (diff != 0) {
        std::uint32_t bit = 1u << 31;
        while ((diff & bit) == 0) bit >>= 1;
        // The codes in the range share every higher bit, so this one is sorted.
        Index a = begin;
        Index b = end - 1;
        while (a < b) {
          const Index m = a + (b - a) / 2;
          if ((Code(m) & bit) != 0) {
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
      node.clo[k] = node.lo[k] - par_.centre[k];
      node.chi[k] = node.hi[k] - par_.centre[k];
    }
    nodes_[id] = node;
    return id;
  }

  const std::vector<std::uint64_t>& keys_;
  const Parallelogram& par_;
  BestPair& best_;
  std::vector<Point> points_;
  std::vector<Node> nodes_;
};

inline std::uint32_t Spread(std::uint32_t x) {
  x = (x | (x << 16)) & 0x030000FFu;
  x = (x | (x << 8)) & 0x0300F00Fu;
  x = (x | (x << 4)) & 0x030C30C3u;
  x = (x | (x << 2)) & 0x09249249u;
  return x;
}

// Morton code of the cell of q, 1024 cells per axis over lo..hi. Cells only
// order the points for the tree; an infinite coordinate lands in cell 0 and
// costs nothing but speed.
struct CellGrid {
  double lo[3];
  double scale[3];

  CellGrid(const double boxLo[3], const double boxHi[3]) {
    for (int k = 0; k < 3; ++k) {
      const double extent = boxHi[k] - boxLo[k];
      lo[k] = boxLo[k];
      scale[k] = extent > 0.0 && extent < kInf ? 1023.0 / extent : 0.0;
    }
  }

  std::uint32_t Code(const double q[3]) const {
    std::uint32_t cell[3];
    for (int k = 0; k < 3; ++k) {
      const double t = (q[k] - lo[k]) * scale[k];
      cell[k] = t >= 0.0 && t <= 1023.0 ? static_cast<std::uint32_t>(t) : 0u;
    }
    return (Spread(cell[0]) << 2) | (Spread(cell[1]) << 1) | Spread(cell[2]);
  }
};

void RadixSortByCode(std::vector<std::uint64_t>& keys) {
  std::vector<std::uint64_t> scratch(keys.size());
  for (int shift = 32; shift < 62; shift += 10) {
    std::size_t count[1025] = {};
    for (const std::uint64_t key : keys) ++count[((key >> shift) & 1023u) + 1];
    for (std::size_t b = 1; b <= 1024; ++b) count[b] += count[b - 1];
    for (const std::uint64_t key : keys) scratch[count[(key >> shift) & 1023u]++] = key;
    keys.swap(scratch);
  }
}

// One pass over the vertices: the box of the usable ones (no NaN coordinate),
// the vertices that reach it, and whether all coordinates are finite.
struct Survey {
  std::size_t usable = 0;
  std::size_t first = 0;  // first usable vertex
  bool finite = true;
  // On an axis that is +inf (or -inf) everywhere, one side never moves off
  // its start, which is then already the right value.
  double lo[3] = {kInf, kInf, kInf};
  double hi[3] = {-kInf, -kInf, -kInf};
  std::vector<std::size_t> extremes;  // first vertices reaching lo and hi

  explicit Survey(const std::vector<Vector3>& v) {
    const std::size_t n = v.size();
    std::size_t argLo[3] = {n, n, n};
    std::size_t argHi[3] = {n, n, n};
    for (std::size_t i = 0; i < n; ++i) {
      const double q[3] = {v[i].x(), v[i].y(), v[i].z()};
      if (std::isnan(q[0]) || std::isnan(q[1]) || std::isnan(q[2])) continue;
      if (usable++ == 0) first = i;
      finite = finite && std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2]);
      for (int k = 0; k < 3; ++k) {
        if (q[k] < lo[k]) {
          lo[k] = q[k];
          argLo[k] = i;
        }
        if (q[k] > hi[k]) {
          hi[k] = q[k];
          argHi[k] = i;
        }
      }
    }
    for (int k = 0; k < 3; ++k) {
      if (argLo[k] < n) extremes.push_back(argLo[k]);
      if (argHi[k] < n) extremes.push_back(argHi[k]);
    }
    std::sort(extremes.begin(), extremes.end());
    extremes.erase(std::unique(extremes.begin(), extremes.end()), extremes.end());
  }
};

// A real pair close to the diameter, found in a few linear passes.
void SeedBestPair(const std::vector<Vector3>& v, const Survey& survey, BestPair& best) {
  // The first usable row settles the order of ties early on heavily tied
  // inputs (all distances overflowing to infinity, say).
  ScanRow(v, survey.first, best);
  for (std::size_t i = 0; i < survey.extremes.size(); ++i) {
    for (std::size_t j = i + 1; j < survey.extremes.size(); ++j) {
      OfferVertices(v, survey.extremes[i], survey.extremes[j], best);
    }
  }
  // "Farthest from the current end" a few times walks towards a double
  // normal, the usual neighbourhood of the diameter; on every shape tried it
  // gives a tighter start than extremes along more directions, and costs less.
  std::vector<Index> scanned{static_cast<Index>(survey.first)};
  for (int round = 0; round < 3; ++round) {
    Index next = best.a;
    if (std::find(scanned.begin(), scanned.end(), next) != scanned.end()) next = best.b;
    if (std::find(scanned.begin(), scanned.end(), next) != scanned.end()) break;
    scanned.push_back(next);
    ScanRow(v, next, best);
  }
}

// Keys (Morton code << 32 | vertex index) of the vertices that could still
// reach distance `best` with some other vertex: on most meshes only the far
// ends of the shape. Also sets up the parallelogram bound.
std::vector<std::uint64_t> Candidates(const std::vector<Vector3>& v, const Survey& survey,
                                      double best, Parallelogram& par) {
  par.enabled = survey.finite;
  for (int k = 0; k < 3; ++k) {
    par.centre[k] = survey.lo[k] + 0.5 * (survey.hi[k] - survey.lo[k]);
    par.enabled = par.enabled && survey.hi[k] - survey.lo[k] <= kMaxExtent;
  }
  // The box test comes first; the radius test needs the largest radius of
  // the vertices that pass it.
  const CellGrid grid(survey.lo, survey.hi);
  std::vector<std::uint64_t> keys;
  std::vector<double> radius2;
  keys.reserve(survey.usable);
  if (par.enabled) radius2.reserve(survey.usable);
  double maxR2 = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double at[3] = {v[i].x(), v[i].y(), v[i].z()};
    if (std::isnan(at[0]) || std::isnan(at[1]) || std::isnan(at[2])) continue;
    if (BoxBound(at, at, survey.lo, survey.hi) < best) continue;
    keys.push_back((static_cast<std::uint64_t>(grid.Code(at)) << 32) | i);
    if (par.enabled) {
      radius2.push_back(par.Radius2(at));
      maxR2 = std::max(maxR2, radius2.back());
    }
  }
  par.enabled = par.enabled && maxR2 >= kMinRadius2;
  if (!par.enabled) return keys;
  par.absoluteSlack = kRelativeSlack * maxR2;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!(par.Bound(radius2[i], maxR2, 0.0) < best)) keys[kept++] = keys[i];
  }
  keys.resize(kept);
  return keys;
}

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
  if (v.size() < kLiteralBelow) return FarthestPointExhaustiveLiteral(v);

  const Survey survey(v);
  BestPair best;
  if (survey.usable >= 2) {
    SeedBestPair(v, survey, best);

    Parallelogram par;
    std::vector<std::uint64_t> keys = Candidates(v, survey, best.d, par);
    if (keys.size() >= 2) {
      RadixSortByCode(keys);
      PairSearch search(v, keys, par, best);
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

}  // namespace korvane::geometry
