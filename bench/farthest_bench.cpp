// Times the fast exhaustive rule against the double loop at 20 thousand
// points (checking they agree) and the fast rule alone at 1 million, on
// deterministic mesh-like point sets.
//
//   farthest_bench            all shapes, 20k and 1M
//   farthest_bench 20000      one size only (literal loop run when <= 50k)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "geometry/farthest.h"
#include "split_mix.h"

namespace {

using korvane::geometry::Vector3;

using Rng = korvane::testing::SplitMix;

Vector3 RandomDirection(Rng& rng) {
  for (;;) {
    const Vector3 p(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    const double n = p.norm();
    if (n > 1e-3 && n <= 1.0) return p / n;
  }
}

// Every point exactly on the sphere: all of them are hull points.
std::vector<Vector3> Sphere(std::size_t n) {
  Rng rng(1);
  std::vector<Vector3> v(n);
  for (Vector3& p : v) p = Vector3(3.0, -2.0, 7.5) + 40.0 * RandomDirection(rng);
  return v;
}

// Latitude-longitude sphere as modellers export it: every vertex has an
// antipode within rounding, so the maximum is tied to the last bits.
std::vector<Vector3> UvSphere(std::size_t n) {
  const std::size_t rings = static_cast<std::size_t>(std::sqrt(static_cast<double>(n) / 2.0));
  const std::size_t segments = n / rings;
  const double pi = std::acos(-1.0);
  std::vector<Vector3> v;
  v.reserve(rings * segments);
  for (std::size_t r = 0; r < rings; ++r) {
    const double theta = pi * (static_cast<double>(r) + 0.5) / static_cast<double>(rings);
    for (std::size_t s = 0; s < segments; ++s) {
      const double phi = 2.0 * pi * static_cast<double>(s) / static_cast<double>(segments);
      v.emplace_back(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi),
                     std::cos(theta));
    }
  }
  return v;
}

// Height field over a square, vertices in scan-line order.
std::vector<Vector3> Terrain(std::size_t n) {
  Rng rng(2);
  const std::size_t side = static_cast<std::size_t>(std::sqrt(static_cast<double>(n)));
  std::vector<Vector3> v;
  v.reserve(side * side);
  for (std::size_t i = 0; i < side; ++i) {
    for (std::size_t j = 0; j < side; ++j) {
      const double x = 1000.0 * static_cast<double>(i) / static_cast<double>(side);
      const double y = 1000.0 * static_cast<double>(j) / static_cast<double>(side);
      const double h = 40.0 * std::sin(x / 90.0) * std::cos(y / 70.0) + 3.0 * rng.Symmetric();
      v.emplace_back(x, y, h);
    }
  }
  return v;
}

// Scanned-body-like blob: an elongated, lumpy surface with sensor noise.
std::vector<Vector3> Blob(std::size_t n) {
  Rng rng(3);
  std::vector<Vector3> v(n);
  for (Vector3& p : v) {
    const Vector3 d = RandomDirection(rng);
    const double lump =
        1.0 + 0.15 * std::sin(5.0 * d.x()) * std::cos(3.0 * d.y() + 1.0) + 0.002 * rng.Symmetric();
    p = Vector3(0.25 * d.x(), 0.18 * d.y(), 0.9 * d.z()) * lump;
  }
  return v;
}

// Box-shaped room: points on the six walls.
std::vector<Vector3> Room(std::size_t n) {
  Rng rng(4);
  std::vector<Vector3> v(n);
  const Vector3 size(6.0, 4.0, 2.7);
  for (std::size_t i = 0; i < n; ++i) {
    Vector3 p(rng.Uniform() * size.x(), rng.Uniform() * size.y(), rng.Uniform() * size.z());
    const Eigen::Index wall = static_cast<Eigen::Index>(i % 6);
    p[wall / 2] = (wall % 2 == 0) ? 0.0 : size[wall / 2];
    v[i] = p;
  }
  return v;
}

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F>
double BestOf(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, Milliseconds(std::chrono::steady_clock::now() - t0));
  }
  return best;
}

int Run(const char* name, std::vector<Vector3> (*make)(std::size_t), std::size_t n) {
  const std::vector<Vector3> v = make(n);
  korvane::geometry::ReferenceIndices fast;
  const double fastMs =
      BestOf(n > 100000 ? 3 : 7, [&] { fast = korvane::geometry::FarthestPointExhaustive(v); });
  std::printf("%-9s n=%8zu  fast %9.3f ms", name, v.size(), fastMs);
  int failures = 0;
  if (v.size() <= 50000) {
    korvane::geometry::ReferenceIndices slow;
    const double slowMs =
        BestOf(1, [&] { slow = korvane::geometry::FarthestPointExhaustiveLiteral(v); });
    const bool same = slow.a == fast.a && slow.b == fast.b && slow.c == fast.c;
    std::printf("  literal %9.1f ms  speed-up %7.0fx  %s", slowMs, slowMs / fastMs,
                same ? "same result" : "MISMATCH");
    failures += same ? 0 : 1;
  }
  std::printf("  (%d, %d, %d)\n", fast.a, fast.b, fast.c);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes = {20000, 1000000};
  if (argc > 1) sizes = {static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10))};
  struct Shape {
    const char* name;
    std::vector<Vector3> (*make)(std::size_t);
  };
  const Shape shapes[] = {{"sphere", Sphere},
                          {"uvsphere", UvSphere},
                          {"terrain", Terrain},
                          {"blob", Blob},
                          {"room", Room}};
  int failures = 0;
  for (const std::size_t n : sizes) {
    for (const Shape& s : shapes) failures += Run(s.name, s.make, n);
  }
  return failures == 0 ? 0 : 1;
}
