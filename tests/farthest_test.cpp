#include "geometry/farthest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "split_mix.h"

namespace korvane {
namespace {

using namespace geometry;

std::vector<Vector3> CubeCorners() {
  return {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
}

void ExpectIndices(const ReferenceIndices& r, int a, int b, int c) {
  EXPECT_EQ(r.a, a);
  EXPECT_EQ(r.b, b);
  EXPECT_EQ(r.c, c);
}

TEST(Farthest, SquaredDistanceSumsLeftToRight) {
  // 2^52 + 0.5625 rounds up to 2^52 + 1, then + 0.5625 up again: 2^52 + 2.
  // Summing the two small squares first would give 2^52 + 1.
  const Vector3 p(0, 0, 0);
  const Vector3 q(67108864.0, 0.75, 0.75);
  EXPECT_EQ(SquaredDistance(p, q), 4503599627370498.0);
  EXPECT_EQ(SquaredDistance(q, p), 4503599627370498.0);
  EXPECT_EQ(TriangleArea(Vector3(0, 0, 0), Vector3(4, 0, 0), Vector3(1, 3, 0)), 6.0);
}

TEST(Farthest, KnownExamples) {
  struct Case {
    const char* name;
    std::vector<Vector3> points;
    int a, b, c;
  };
  const Vector3 same(2.5, -1.0, 7.0);
  const std::vector<Case> cases = {
      {"cube corners", CubeCorners(), 0, 7, 1},
      {"collinear", {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, 0, 2, 0},
      {"all at one point", std::vector<Vector3>(5, same), 0, 0, 0},
      {"all at one point, many", std::vector<Vector3>(500, same), 0, 0, 0},
      {"no vertex", {}, 0, 0, 0},
      {"one vertex", {same}, 0, 0, 0},
      {"two vertices", {same, Vector3(0, 0, 0)}, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectIndices(FarthestPointExhaustiveLiteral(c.points), c.a, c.b, c.c);
    ExpectIndices(FarthestPointExhaustive(c.points), c.a, c.b, c.c);
  }
}

TEST(Farthest, AxisRule) {
  const ReferenceIndices current{4, 5, 6};
  // y has the largest extent; indices 1 and 3 share the minimum, 2 and 4 the
  // maximum: the first of each wins.
  const std::vector<Vector3> tallY = {{0, 1, 0}, {1, -2, 0}, {0, 5, 1}, {2, -2, 0}, {0, 5, 0}};
  struct Case {
    const char* name;
    std::vector<Vector3> points;
    int a, b, c;
  };
  const std::vector<Case> cases = {
      {"cube corners", CubeCorners(), 0, 1, 2},
      {"y largest, first extremes", tallY, 1, 2, 3},
      // Equal x and y extents: x is taken.
      {"x ties y", {{0, 0, 0}, {2, 0, 0}, {1, 2, 0}, {1, -0.0, 1}}, 0, 1, 2},
      // Equal y and z extents above x: y is taken.
      {"y ties z", {{0, 0, 0}, {0, 3, 0}, {0, 1, 3}, {1, 0, 0}}, 0, 1, 2},
      // Everything on the x axis: no positive area, C stays current's.
      {"collinear keeps C", {{3, 0, 0}, {1, 0, 0}, {2, 0, 0}}, 1, 0, 6},
      {"one point keeps C", {{1, 2, 3}, {1, 2, 3}}, 0, 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectIndices(FarthestPointByAxis(c.points, current), c.a, c.b, c.c);
  }
  ExpectIndices(FarthestPointByAxis({}, current), 4, 5, 6);
}

TEST(Farthest, AxisRuleFirstCandidateWinsTies) {
  // A, B on x at (0,0,0) and (4,0,0); minY = (1,-1,0) and maxZ = (3,0,1)
  // give the same area 2, minY comes first in the candidate order.
  const std::vector<Vector3> v = {{0, 0, 0}, {4, 0, 0}, {3, 0, 1}, {1, -1, 0}};
  ExpectIndices(FarthestPointByAxis(v, ReferenceIndices{}), 0, 1, 3);
}

// The shared generator, with the point shapes these tests need.
class Rng : public korvane::testing::SplitMix {
 public:
  using SplitMix::SplitMix;
  Vector3 InCube() { return Vector3(Symmetric(), Symmetric(), Symmetric()); }
  Vector3 OnSphere() {
    for (;;) {
      const Vector3 p = InCube();
      const double n = p.norm();
      if (n > 1e-3 && n <= 1.0) return p / n;
    }
  }
};

using Generator = std::function<Vector3(Rng&, int)>;

std::vector<Vector3> Make(const Generator& g, Rng& rng, int n) {
  std::vector<Vector3> v;
  for (int i = 0; i < n; ++i) v.push_back(g(rng, i));
  return v;
}

// Integer points with |p|^2 = 25, e.g. (3, 4, 0): every antipodal pair is at
// exactly 100, so the maximum is tied many times over in scrambled order.
std::vector<Vector3> IntegerSphere() {
  std::vector<Vector3> s;
  for (int x = -5; x <= 5; ++x) {
    for (int y = -5; y <= 5; ++y) {
      for (int z = -5; z <= 5; ++z) {
        if (x * x + y * y + z * z == 25) s.emplace_back(x, y, z);
      }
    }
  }
  return s;
}

TEST(Farthest, FastRuleMatchesDoubleLoop) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Vector3> integerSphere = IntegerSphere();
  const std::vector<std::pair<std::string, Generator>> shapes = {
      {"uniform cube", [](Rng& r, int) -> Vector3 { return r.InCube(); }},
      {"sphere", [](Rng& r, int) -> Vector3 { return Vector3(1, 2, 3) + 10.0 * r.OnSphere(); }},
      {"noisy sphere",
       [](Rng& r, int) -> Vector3 { return (1.0 + 1e-3 * r.Symmetric()) * r.OnSphere(); }},
      {"integer grid",
       [](Rng& r, int) -> Vector3 { return Vector3(r.Int(6), r.Int(6), r.Int(6)); }},
      {"duplicates",
       [](Rng& r, int) -> Vector3 {
         Rng pick(static_cast<std::uint64_t>(r.Int(7)));
         return pick.InCube();
       }},
      {"collinear", [](Rng& r, int) -> Vector3 { return Vector3(1, -2, 0.5) * r.Symmetric(); }},
      {"coplanar",
       [](Rng& r, int) -> Vector3 { return Vector3(r.Symmetric(), r.Symmetric(), 0.25); }},
      {"two tight clusters",
       [](Rng& r, int i) -> Vector3 {
         return Vector3(i % 2 == 0 ? 0.0 : 5.0, 1.0, 0.0) + 1e-9 * r.InCube();
       }},
      {"two exact clusters",
       [](Rng& r, int) -> Vector3 { return r.Int(2) == 0 ? Vector3(0, 0, 0) : Vector3(0, 3, 4); }},
      {"integer sphere",
       [&](Rng& r, int) -> Vector3 {
         return integerSphere[static_cast<std::size_t>(
             r.Int(static_cast<int>(integerSphere.size())))];
       }},
      {"cube corners and inside",
       [](Rng& r, int) -> Vector3 {
         return r.Int(4) == 0 ? Vector3(r.Int(2), r.Int(2), r.Int(2))
                              : 0.5 * (r.InCube() + Vector3(1, 1, 1));
       }},
      {"tiny", [](Rng& r, int) -> Vector3 { return 1e-300 * r.InCube(); }},
      {"subnormal squares", [](Rng& r, int) -> Vector3 { return 1e-158 * r.InCube(); }},
      {"overflowing squares", [](Rng& r, int) -> Vector3 { return 1e300 * r.InCube(); }},
      {"overflow at the edge", [](Rng& r, int) -> Vector3 { return 7e153 * r.InCube(); }},
      {"huge offset",
       [](Rng& r, int) -> Vector3 { return Vector3(1e15, -1e15, 3e14) + r.OnSphere(); }},
      {"some overflowing",
       [](Rng& r, int) -> Vector3 { return r.Int(50) == 0 ? 1e300 * r.InCube() : r.InCube(); }},
      {"some NaN",
       [&](Rng& r, int) -> Vector3 {
         Vector3 p = r.InCube();
         if (r.Int(10) == 0) p[r.Int(3)] = nan;
         return p;
       }},
      {"some infinite",
       [&](Rng& r, int) -> Vector3 {
         Vector3 p = r.InCube();
         if (r.Int(20) == 0) p[r.Int(3)] = r.Int(2) == 0 ? inf : -inf;
         return p;
       }},
      {"infinite and NaN",
       [&](Rng& r, int) -> Vector3 {
         const double pick[4] = {inf, -inf, nan, 1.0};
         return Vector3(pick[r.Int(4)], pick[r.Int(4)], r.Symmetric());
       }},
      {"all NaN", [&](Rng&, int) -> Vector3 { return Vector3(nan, 0, 0); }},
  };
  const int sizes[] = {0, 1, 2, 3, 5, 47, 48, 49, 64, 200, 1000, 3000};
  for (const auto& [name, generate] : shapes) {
    for (const int n : sizes) {
      for (std::uint64_t seed = 1; seed <= (n <= 200 ? 3u : 1u); ++seed) {
        SCOPED_TRACE(name + ", n = " + std::to_string(n) + ", seed " + std::to_string(seed));
        Rng rng(seed * 7919 + static_cast<std::uint64_t>(n));
        const std::vector<Vector3> v = Make(generate, rng, n);
        const ReferenceIndices want = FarthestPointExhaustiveLiteral(v);
        const ReferenceIndices got = FarthestPointExhaustive(v);
        ExpectIndices(got, want.a, want.b, want.c);
      }
    }
  }
}

TEST(Farthest, FastRuleMatchesDoubleLoopOnMeshLikeSets) {
  // Larger sets, where the search tree is several levels deep.
  const double pi = std::acos(-1.0);
  std::vector<Vector3> uvSphere;
  for (int r = 0; r < 50; ++r) {
    for (int s = 0; s < 100; ++s) {
      const double theta = pi * (r + 0.5) / 50.0;
      const double phi = 2.0 * pi * s / 100.0;
      uvSphere.emplace_back(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi),
                            std::cos(theta));
    }
  }
  Rng rng(42);
  std::vector<Vector3> sphere;
  std::vector<Vector3> terrain;
  for (int i = 0; i < 6000; ++i) sphere.push_back(Vector3(-4, 0, 9) + 3.0 * rng.OnSphere());
  for (int i = 0; i < 70; ++i) {
    for (int j = 0; j < 70; ++j) {
      terrain.emplace_back(i, j, std::sin(i * 0.3) * std::cos(j * 0.2) + 0.01 * rng.Symmetric());
    }
  }
  // Same points in reverse order: the tie order must follow the indices.
  std::vector<Vector3> reversed(uvSphere.rbegin(), uvSphere.rend());
  const std::vector<std::pair<const char*, const std::vector<Vector3>*>> sets = {
      {"uv sphere", &uvSphere},
      {"uv sphere reversed", &reversed},
      {"sphere", &sphere},
      {"terrain", &terrain}};
  for (const auto& [name, v] : sets) {
    SCOPED_TRACE(name);
    const ReferenceIndices want = FarthestPointExhaustiveLiteral(*v);
    ExpectIndices(FarthestPointExhaustive(*v), want.a, want.b, want.c);
  }
}

// Sets whose maximum is decided in the last bits or by the tie order, where a
// bound that is a rounding error too tight, or a tie test off by one, shows.
TEST(Farthest, FastRuleMatchesDoubleLoopOnNearTies) {
  const std::vector<std::pair<std::string, std::function<std::vector<Vector3>(Rng&, int)>>> shapes =
      {
          // p and its mirror image through a centre: antipodal pairs all at
          // about (2R)^2, apart by rounding only.
          {"antipodal pairs",
           [](Rng& r, int n) {
             const Vector3 c(10.0 * r.Symmetric(), 10.0 * r.Symmetric(), r.Symmetric());
             const double radius = 1.0 + 100.0 * r.Uniform();
             std::vector<Vector3> v;
             while (static_cast<int>(v.size()) < n) {
               const Vector3 u = r.OnSphere();
               v.push_back(c + radius * u);
               v.push_back(c - radius * u);
             }
             v.resize(static_cast<std::size_t>(n));
             return v;
           }},
          // A few exact locations, most of the points on them.
          {"few locations and decoys",
           [](Rng& r, int n) {
             std::vector<Vector3> places;
             const int k = 2 + r.Int(4);
             for (int i = 0; i < k; ++i) places.emplace_back(r.Int(3), r.Int(3), r.Int(3));
             std::vector<Vector3> v;
             for (int i = 0; i < n; ++i) {
               v.push_back(r.Int(5) == 0
                               ? Vector3(2.0 * r.Uniform(), 2.0 * r.Uniform(), 2.0 * r.Uniform())
                               : places[static_cast<std::size_t>(r.Int(k))]);
             }
             return v;
           }},
          // Vertex 0 is near everything; the others overflow among themselves,
          // so the maximum is +inf, reached by many pairs in scrambled order.
          {"overflowing ties",
           [](Rng& r, int n) {
             std::vector<Vector3> v{Vector3(0, 0, 0)};
             while (static_cast<int>(v.size()) < n) v.push_back(8e153 * r.OnSphere());
             return v;
           }},
      };
  for (const auto& [name, generate] : shapes) {
    for (const int n : {60, 150, 400}) {
      for (std::uint64_t seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE(name + ", n = " + std::to_string(n) + ", seed " + std::to_string(seed));
        Rng rng(seed * 1000 + static_cast<std::uint64_t>(n));
        const std::vector<Vector3> v = generate(rng, n);
        const ReferenceIndices want = FarthestPointExhaustiveLiteral(v);
        ExpectIndices(FarthestPointExhaustive(v), want.a, want.b, want.c);
      }
    }
  }
}

}  // namespace
}  // namespace korvane
