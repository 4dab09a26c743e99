#include "geometry/overlap.h"

#include <algorithm>
#include <cstddef>

#include "geometry/fit_options.h"

namespace korvane::geometry {

Overlap EstimateOverlap(const std::vector<double>& distances, double near) {
  if (distances.empty()) return {};
  std::vector<double> d(distances);
  const auto quarter = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 4);
  std::nth_element(d.begin(), quarter, d.end());
  // Distances of noise off a surface: the quarter point lies near a third of
  // its RMS, the 99th percentile under three RMS; so ten quarters hold
  // nearly every inlier, even when only half the base is on the copy.
  constexpr double kQuarters = 10.0;
  const double band = std::max(near, kQuarters * *quarter);
  const auto in = std::count_if(d.begin(), d.end(), [&](double x) { return x <= band; });
  return {static_cast<double>(in) / static_cast<double>(d.size()), band};
}

double TrimForOverlap(double overlap) {
  // Under this much missing, a trim would only hide noise.
  constexpr double kWhole = 0.02;
  constexpr double kMargin = 0.02;
  const double missing = 1.0 - overlap;
  if (missing <= kWhole) return 0.0;
  return std::min(kMostTrim, missing + kMargin);
}

}  // namespace korvane::geometry
