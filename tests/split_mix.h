// A small deterministic generator (SplitMix64): the same numbers with every
// standard library, so test and benchmark inputs are the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::testing {

class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, 1), with 53 random bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  // In [-1, 1).
  double Symmetric() { return 2.0 * Uniform() - 1.0; }
  // In [0, n).
  int Int(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

}  // namespace korvane::testing
