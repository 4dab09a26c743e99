#include "geometry/rejection.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

namespace korvane::geometry {

std::size_t KeptCount(std::size_t n, double trim) {
  const auto dropped = static_cast<std::size_t>(std::floor(trim * static_cast<double>(n)));
  return std::max<std::size_t>(std::min<std::size_t>(3, n), n - dropped);
}

std::vector<char> KeepSmallest(const std::vector<double>& d, std::size_t keep) {
  std::vector<char> mask(d.size(), 1);
  if (keep >= d.size()) return mask;
  std::vector<std::uint32_t> idx(d.size());
  std::iota(idx.begin(), idx.end(), 0u);
  const auto less = [&](std::uint32_t a, std::uint32_t b) {
    return d[a] < d[b] || (d[a] == d[b] && a < b);
  };
  std::nth_element(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(keep - 1), idx.end(),
                   less);
  const std::uint32_t last = idx[keep - 1];
  for (std::size_t i = 0; i < d.size(); ++i)
    mask[i] = less(static_cast<std::uint32_t>(i), last) || i == last;
  return mask;
}

void KeepSmallestValues(std::vector<double>& d, std::size_t keep) {
  std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(keep - 1), d.end());
  d.resize(keep);
}

}  // namespace korvane::geometry
