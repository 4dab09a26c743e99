#include "geometry/triangle_match.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "geometry/convergence.h"
#include "geometry/distinct.h"
#include "geometry/fit_options.h"
#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"

namespace korvane::geometry {
namespace {

// Shapes are compared by the two shorter sides over the longest, within
// this much: rounding to six decimals moves the ratios of a triangle a
// thousandth of a unit across by about 1e-3.
constexpr double kShapeTolerance = 2e-3;
// Base triangles shorter than this (relative to the base's size) are not
// tried: rounding blurs their shapes. Slivers and caps are not tried either:
// the two shorter sides must exceed the longest by this fraction of it.
constexpr double kShortest = 1e-4;
constexpr double kFlattest = 2e-2;
// Base triangles tried, the rarest shapes first (counted over at most
// kCounted of them), and how many that each find a proposal end the search.
constexpr std::size_t kTried = 24;
constexpr std::size_t kCounted = kBaseTrianglesLooked;
constexpr std::size_t kEnough = 4;
// A copy's scale against the spread ratio stays within this band; a target
// triangle half the size is a quarter of a base triangle split in four.
constexpr double kScaleBand = 1.6;
// A base vertex lands on the target when a target vertex is this close
// (relative to the size), far above rounding, or a share of the typical
// shortest edge when that is less (a dense mesh).
constexpr double kHitRadius = 1e-4;
constexpr double kEdgeShare = 0.25;
// A proposal is first checked on the base vertices nearest its triangle,
// where its turn's error (from the triangle's rounded corners) is harmless,
// then refitted on every hit while checking outwards on kChecked vertices
// spread over the base.
constexpr std::size_t kNear = 16;
constexpr std::size_t kNearHits = 10;
constexpr std::size_t kChecked = 1024;
// Matches tried in all: a mesh of one repeated shape (a regular grid) leaves
// its triangles to the search from starts.
constexpr std::size_t kBudget = 400000;
// Proposals whose base boxes' corners are this close (relative) are one.
constexpr double kSameProposal = 1e-3;
// Refitting on vertex pairs ends when no corner of the base's box moves by
// more than this (relative), or after kRefits (or the caller's limit).
constexpr double kSettled = 1e-12;
constexpr int kRefits = 20;

struct Shape {
  std::array<double, 3> side{};  // side[i]: length of the side opposite corner i
  double longest = 0.0;
  double x = 0.0, y = 0.0;  // the two shorter sides over the longest, ascending
  bool usable = false;
};

Shape ShapeOf(const Vector3& a, const Vector3& b, const Vector3& c) {
  Shape s;
  s.side = {(b - c).norm(), (c - a).norm(), (a - b).norm()};
  std::array<double, 3> sorted = s.side;
  std::sort(sorted.begin(), sorted.end());
  s.longest = sorted[2];
  if (!(s.longest > 0.0) || !std::isfinite(s.longest)) return s;
  s.x = sorted[0] / s.longest;
  s.y = sorted[1] / s.longest;
  s.usable = s.x + s.y - 1.0 > kFlattest;
  return s;
}

std::uint64_t Cell(double x, double y) {
  const auto cx = static_cast<std::uint64_t>(x / kShapeTolerance);
  const auto cy = static_cast<std::uint64_t>(y / kShapeTolerance);
  return cx << 32 | cy;
}

struct Chosen {
  std::uint32_t triangle = 0;
  Shape shape;
  std::vector<Vector3> near;     // the base vertices nearest it
  std::vector<Vector3> outward;  // the checked vertices, nearest first
};

struct Match {
  std::uint32_t chosen = 0;
  std::uint32_t triangle = 0;
  bool operator<(const Match& o) const {
    return chosen != o.chosen ? chosen < o.chosen : triangle < o.triangle;
  }
};

// The proper similarity carrying triangle p onto the similar triangle q,
// corner by corner; a turn alone without `scaled`.
Matrix4 FromTriangles(const std::array<Vector3, 3>& p, const std::array<Vector3, 3>& q,
                      bool scaled) {
  const auto frame = [](const std::array<Vector3, 3>& t) {
    Eigen::Matrix3d f;
    const Vector3 e1 = (t[1] - t[0]).normalized();
    const Vector3 n = (t[1] - t[0]).cross(t[2] - t[0]).normalized();
    f << e1, n.cross(e1), n;
    return f;
  };
  const auto perimeter = [](const std::array<Vector3, 3>& t) {
    return (t[1] - t[0]).norm() + (t[2] - t[1]).norm() + (t[0] - t[2]).norm();
  };
  const double s = scaled ? perimeter(q) / perimeter(p) : 1.0;
  const Eigen::Matrix3d r = frame(q) * frame(p).transpose();
  const Vector3 gp = (p[0] + p[1] + p[2]) / 3.0, gq = (q[0] + q[1] + q[2]) / 3.0;
  Matrix4 m = Matrix4::Identity();
  m.linear() = s * r;
  m.translation() = gq - s * r * gp;
  return m;
}

// `m` followed by a scaling by `factor` about `centre` and a half turn about
// `axis` when given (the middle quarter of a split triangle is its parent
// halved and turned).
Matrix4 About(const Matrix4& m, const Vector3& centre, double factor, const Vector3* axis) {
  Eigen::Matrix3d l = factor * Eigen::Matrix3d::Identity();
  if (axis) l = factor * (2.0 * *axis * axis->transpose() - Eigen::Matrix3d::Identity());
  Matrix4 step = Matrix4::Identity();
  step.linear() = l;
  step.translation() = centre - l * centre;
  Matrix4 out = step * m;
  out.makeAffine();
  return out;
}

class Checker {
 public:
  Checker(const std::vector<Vector3>& target, double radius, bool scaled)
      : target_(target), index_(target), radius2_(radius * radius), scaled_(scaled) {}

  // Share of `c.outward` that `m`, refitted as it goes, puts onto target
  // vertices; negative once `minimum` is out of reach. `m` ends refitted.
  double Check(const Chosen& c, const std::array<Vector3, 3>& corners, Matrix4& m,
               double minimum) const {
    std::vector<Vector3> from(corners.begin(), corners.end()), to;
    for (const Vector3& p : corners) to.push_back(TransformPoint(m, p));
    // Most matches are wrong and miss at once: stop as soon as too few can land.
    const std::size_t needed = std::min(kNearHits, c.near.size());
    std::size_t misses = 0;
    for (const Vector3& p : c.near) {
      if (!Land(m, p, from, to) && ++misses > c.near.size() - needed) return -1.0;
    }
    m = PairMotion(from, to, scaled_);
    // Refitted each time the checked reach doubles: the turn gets as exact as
    // the pairs are far apart.
    const Vector3 centre = (corners[0] + corners[1] + corners[2]) / 3.0;
    double reach = 0.0;
    for (const Vector3& p : c.near) reach = std::max(reach, (p - centre).norm());
    const std::size_t n = c.outward.size();
    const auto allowed = static_cast<std::size_t>((1.0 - minimum) * static_cast<double>(n));
    std::size_t landed = 0, missed = 0;
    for (const Vector3& p : c.outward) {
      const double d = (p - centre).norm();
      if (d > 2.0 * reach) {
        m = PairMotion(from, to, scaled_);
        reach = d;
      }
      if (Land(m, p, from, to)) {
        ++landed;
      } else if (++missed > allowed || (missed >= 8 && missed > 2 * landed)) {
        return -1.0;
      }
    }
    m = PairMotion(from, to, scaled_);
    return static_cast<double>(landed) / static_cast<double>(n);
  }

  // Refits `m` on the pairs of `sample` that land until they settle, at most
  // `most` times (p.capped when that stopped it); the share that lands.
  double Settle(const std::vector<Vector3>& sample, const Eigen::AlignedBox3d& box, double size,
                int most, Proposal& p, unsigned threads) const {
    Matrix4& m = p.m;
    std::vector<std::int64_t> to(sample.size(), -1);
    double share = 0.0;
    for (int k = 0;; ++k) {
      ParallelRanges(sample.size(), threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const PointIndex::Hit h = index_.Nearest(TransformPoint(m, sample[i]));
          to[i] = h.distanceSquared <= radius2_ ? static_cast<std::int64_t>(h.index) : -1;
        }
      });
      std::vector<Vector3> a, b;
      for (std::size_t i = 0; i < sample.size(); ++i) {
        if (to[i] < 0) continue;
        a.push_back(sample[i]);
        b.push_back(target_[static_cast<std::size_t>(to[i])]);
      }
      share = static_cast<double>(a.size()) / static_cast<double>(sample.size());
      if (a.size() < 3) break;
      if (k >= most) {
        p.capped = true;
        break;
      }
      const Matrix4 next = PairMotion(a, b, scaled_);
      if (!next.matrix().allFinite()) break;
      p.refits = k + 1;
      const bool settled = Convergence{kSettled * size}.Reached(CornerShift(box, m, next));
      m = next;
      if (settled) break;
    }
    return share;
  }

 private:
  bool Land(const Matrix4& m, const Vector3& p, std::vector<Vector3>& from,
            std::vector<Vector3>& to) const {
    const PointIndex::Hit h = index_.Nearest(TransformPoint(m, p));
    if (!(h.distanceSquared <= radius2_)) return false;
    from.push_back(p);
    to.push_back(target_[h.index]);
    return true;
  }

  const std::vector<Vector3>& target_;
  PointIndex index_;
  double radius2_;
  bool scaled_;
};

// Within a quarter of the moved mesh's typical shortest edge, a vertex that
// lands by chance near another is rare however dense the mesh.
double HitRadius(const std::vector<Vector3>& target, const std::vector<Triangle>& triangles,
                 double size) {
  constexpr std::size_t kLooked = 4096;
  const std::size_t stride = std::max<std::size_t>(1, triangles.size() / kLooked);
  std::vector<double> shortest;
  for (std::size_t k = 0; k < triangles.size(); k += stride) {
    const Triangle& t = triangles[k];
    const double e =
        std::min({(target[t[0]] - target[t[1]]).norm(), (target[t[1]] - target[t[2]]).norm(),
                  (target[t[2]] - target[t[0]]).norm()});
    if (e > 0.0) shortest.push_back(e);
  }
  double radius = kHitRadius * size;
  if (!shortest.empty()) {
    const auto middle = shortest.begin() + static_cast<std::ptrdiff_t>(shortest.size() / 2);
    std::nth_element(shortest.begin(), middle, shortest.end());
    radius = std::min(radius, kEdgeShare * *middle);
  }
  return radius;
}

// Base triangles of the rarest shapes, one per shape cell.
std::vector<Chosen> ChooseTriangles(const std::vector<Vector3>& base,
                                    const std::vector<Triangle>& triangles, double base_size) {
  const std::size_t stride = (triangles.size() + kCounted - 1) / kCounted;
  std::unordered_map<std::uint64_t, std::uint32_t> count;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> usable;  // cell, triangle
  for (std::size_t k = 0; k < triangles.size(); k += stride) {
    const Triangle& t = triangles[k];
    const Shape s = ShapeOf(base[t[0]], base[t[1]], base[t[2]]);
    if (!s.usable || s.longest < kShortest * base_size) continue;
    const std::uint64_t cell = Cell(s.x, s.y);
    ++count[cell];
    usable.emplace_back(cell, static_cast<std::uint32_t>(k));
  }
  std::stable_sort(usable.begin(), usable.end(),
                   [&](const auto& a, const auto& b) { return count[a.first] < count[b.first]; });
  std::vector<Chosen> chosen;
  std::unordered_map<std::uint64_t, bool> taken;
  for (const auto& [cell, k] : usable) {
    if (chosen.size() >= kTried) break;
    if (taken[cell]) continue;
    taken[cell] = true;
    const Triangle& t = triangles[k];
    Chosen c;
    c.triangle = k;
    c.shape = ShapeOf(base[t[0]], base[t[1]], base[t[2]]);
    chosen.push_back(std::move(c));
  }
  return chosen;
}

// Fills each chosen triangle's near and outward vertices.
void Neighbourhoods(const std::vector<Vector3>& base, const std::vector<Triangle>& triangles,
                    std::vector<Chosen>& chosen, unsigned threads) {
  std::vector<Vector3> checked;
  constexpr double kGolden = 0.6180339887498949;
  double u = 0.5;
  for (std::size_t k = 0; k < std::min(kChecked, base.size()); ++k) {
    checked.push_back(base[std::min(
        base.size() - 1, static_cast<std::size_t>(u * static_cast<double>(base.size())))]);
    u += kGolden;
    u -= std::floor(u);
  }
  ParallelTasks(chosen.size(), threads, [&](std::size_t j) {
    Chosen& c = chosen[j];
    const Triangle& t = triangles[c.triangle];
    const Vector3 centre = (base[t[0]] + base[t[1]] + base[t[2]]) / 3.0;
    std::vector<std::pair<double, std::uint32_t>> nearest;  // a max-heap of kNear
    for (std::size_t i = 0; i < base.size(); ++i) {
      if (i == t[0] || i == t[1] || i == t[2]) continue;
      const double d = (base[i] - centre).squaredNorm();
      if (nearest.size() < kNear) {
        nearest.emplace_back(d, static_cast<std::uint32_t>(i));
        std::push_heap(nearest.begin(), nearest.end());
      } else if (d < nearest.front().first) {
        std::pop_heap(nearest.begin(), nearest.end());
        nearest.back() = {d, static_cast<std::uint32_t>(i)};
        std::push_heap(nearest.begin(), nearest.end());
      }
    }
    std::sort_heap(nearest.begin(), nearest.end());
    for (const auto& [d, i] : nearest) c.near.push_back(base[i]);
    c.outward = checked;
    std::stable_sort(c.outward.begin(), c.outward.end(), [&](const Vector3& a, const Vector3& b) {
      return (a - centre).squaredNorm() < (b - centre).squaredNorm();
    });
  });
}

}  // namespace

std::vector<Proposal> ProposeByTriangles(const std::vector<Vector3>& base,
                                         const std::vector<Triangle>& baseTriangles,
                                         const std::vector<Vector3>& target,
                                         const std::vector<Triangle>& targetTriangles, double size,
                                         double minimum, std::size_t count,
                                         const std::vector<Vector3>& sample, std::size_t refined,
                                         int most_refits, bool scaled, unsigned threads) {
  if (base.size() < 3 || target.empty() || baseTriangles.empty() || targetTriangles.empty())
    return {};
  Eigen::AlignedBox3d box;
  for (const Vector3& p : base) box.extend(p);
  std::vector<Chosen> chosen = ChooseTriangles(base, baseTriangles, box.diagonal().norm());
  if (chosen.empty()) return {};
  Neighbourhoods(base, baseTriangles, chosen, threads);
  const double scale = Spread(target) / Spread(base);

  // Target triangles of a chosen shape, found in one pass over the target.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> wanted;
  for (std::size_t j = 0; j < chosen.size(); ++j) {
    const Shape& s = chosen[j].shape;
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy) {
        const double x = s.x + dx * kShapeTolerance, y = s.y + dy * kShapeTolerance;
        if (x >= 0.0 && y >= 0.0) wanted[Cell(x, y)].push_back(static_cast<std::uint32_t>(j));
      }
  }
  for (auto& [cell, list] : wanted) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
  std::vector<Match> matches;
  std::mutex lock;
  ParallelRanges(targetTriangles.size(), threads, [&](std::size_t begin, std::size_t end) {
    std::vector<Match> found;
    for (std::size_t k = begin; k < end; ++k) {
      const Triangle& t = targetTriangles[k];
      const Shape s = ShapeOf(target[t[0]], target[t[1]], target[t[2]]);
      if (!s.usable) continue;
      const auto w = wanted.find(Cell(s.x, s.y));
      if (w == wanted.end()) continue;
      for (const std::uint32_t j : w->second) {
        const Shape& b = chosen[j].shape;
        const double ratio = s.longest / b.longest / scale;
        if (std::fabs(s.x - b.x) <= kShapeTolerance && std::fabs(s.y - b.y) <= kShapeTolerance &&
            ratio >= 0.5 / kScaleBand && ratio <= kScaleBand)
          found.push_back({j, static_cast<std::uint32_t>(k)});
      }
    }
    const std::lock_guard<std::mutex> hold(lock);
    matches.insert(matches.end(), found.begin(), found.end());
  });
  std::sort(matches.begin(), matches.end());

  // The chosen triangles with the fewest matches first.
  std::vector<std::size_t> first(chosen.size() + 1, 0);
  for (const Match& mt : matches) ++first[mt.chosen + 1];
  for (std::size_t j = 0; j < chosen.size(); ++j) first[j + 1] += first[j];
  std::vector<std::size_t> order(chosen.size());
  for (std::size_t j = 0; j < order.size(); ++j) order[j] = j;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return first[a + 1] - first[a] < first[b + 1] - first[b];
  });

  const Checker checker(target, HitRadius(target, targetTriangles, size), scaled);
  std::vector<Proposal> found;
  std::size_t tried = 0, successes = 0;
  for (const std::size_t j : order) {
    const std::size_t n = first[j + 1] - first[j];
    if (n == 0) continue;
    if (tried + n > kBudget || successes >= kEnough) break;
    tried += n;
    const Chosen& c = chosen[j];
    const Triangle& bt = baseTriangles[c.triangle];
    const std::array<Vector3, 3> p{base[bt[0]], base[bt[1]], base[bt[2]]};
    std::vector<std::vector<Proposal>> each(n);
    ParallelTasks(n, threads, [&](std::size_t k) {
      const Triangle& tt = targetTriangles[matches[first[j] + k].triangle];
      const Shape s = ShapeOf(target[tt[0]], target[tt[1]], target[tt[2]]);
      const bool halved = s.longest / c.shape.longest / scale < 0.5 * std::sqrt(kScaleBand);
      std::array<int, 3> perm{0, 1, 2};
      do {
        // Corner i of the base goes to corner perm[i] of the target: the
        // sides opposite them must agree.
        bool same = true;
        for (int i = 0; i < 3; ++i)
          same = same &&
                 std::fabs(c.shape.side[static_cast<std::size_t>(i)] / c.shape.longest -
                           s.side[static_cast<std::size_t>(perm[static_cast<std::size_t>(i)])] /
                               s.longest) <= kShapeTolerance;
        if (!same) continue;
        std::array<Vector3, 3> q;
        for (std::size_t i = 0; i < 3; ++i) q[i] = target[tt[static_cast<std::size_t>(perm[i])]];
        const Matrix4 m0 = FromTriangles(p, q, scaled);
        std::vector<Matrix4> tries;
        if (!halved) {
          tries.push_back(m0);
        } else {
          // A quarter of a split base triangle: a corner one shares a corner
          // with its parent, the middle one is the parent turned and halved.
          for (const Vector3& corner : q) tries.push_back(About(m0, corner, 2.0, nullptr));
          const Vector3 g = (q[0] + q[1] + q[2]) / 3.0;
          const Vector3 axis = (q[1] - q[0]).cross(q[2] - q[0]).normalized();
          tries.push_back(About(m0, g, 2.0, &axis));
        }
        for (Matrix4 m : tries) {
          if (!m.matrix().allFinite()) continue;
          const double share = checker.Check(c, p, m, minimum);
          if (share >= minimum) each[k].push_back({m, share});
        }
      } while (std::next_permutation(perm.begin(), perm.end()));
    });
    bool success = false;
    for (const std::vector<Proposal>& e : each) {
      found.insert(found.end(), e.begin(), e.end());
      success = success || !e.empty();
    }
    successes += success;
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Proposal& a, const Proposal& b) { return a.hits > b.hits; });
  std::vector<Proposal> distinct =
      KeepDistinct(found, count, [&](const Proposal& kept, const Proposal& f) {
        return CornerShift(box, f.m, kept.m) <= kSameProposal * size;
      });
  for (std::size_t k = 0; k < std::min(refined, distinct.size()); ++k)
    distinct[k].hits =
        checker.Settle(sample, box, size, std::min(kRefits, most_refits), distinct[k], threads);
  std::stable_sort(
      distinct.begin(),
      distinct.begin() + static_cast<std::ptrdiff_t>(std::min(refined, distinct.size())),
      [](const Proposal& a, const Proposal& b) { return a.hits > b.hits; });
  return distinct;
}

}  // namespace korvane::geometry
