// How long the roughness estimate takes, and what it finds, on scans of a
// sphere with known noise from 10k to 1M points.
//
//   roughness_bench [POINTS...]   (default 10000 100000 1000000)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "geometry/roughness.h"
#include "split_mix.h"

int main(int argc, char** argv) {
  using namespace korvane;
  std::vector<std::size_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::strtoull(argv[i], nullptr, 10));
  if (counts.empty()) counts = {10000, 100000, 1000000};
  const double sigma = 1e-3;  // of the radius
  std::printf("%10s %9s %12s %12s %12s\n", "points", "seconds", "noise/sigma", "spacing",
              "expected");
  for (const std::size_t n : counts) {
    testing::SplitMix rng(n);
    std::vector<geometry::Vector3> v;
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      geometry::Vector3 u(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
      if (u.squaredNorm() > 1.0 || u.squaredNorm() < 1e-6) {
        --i;
        continue;
      }
      const double g = std::sqrt(-2.0 * std::log(std::max(rng.Uniform(), 1e-300))) *
                       std::cos(6.283185307179586 * rng.Uniform());
      v.push_back(u.normalized() * (1.0 + sigma * g));
    }
    const auto t0 = std::chrono::steady_clock::now();
    const geometry::Roughness r = geometry::EstimateRoughness(v);
    const double s = bench::Seconds(std::chrono::steady_clock::now() - t0);
    std::printf("%10zu %9.3f %12.3f %12.3g %12.3g\n", n, s, r.noise / sigma, r.spacing,
                std::sqrt(std::log(2.0) * 4.0 / static_cast<double>(n)));
  }
  return 0;
}
