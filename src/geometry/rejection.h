// Rejection: which pairs a solve or a verdict leaves out. A trim drops the
// worst share of the pairs; what is kept is chosen the same way every time
// (ties: the lower index), so every solve sums in the same order.
#pragma once

#include <cstddef>
#include <vector>

namespace korvane::geometry {

// How many of n pairs a trim of `trim` keeps (at least three, or n when fewer).
std::size_t KeptCount(std::size_t n, double trim);
// The `keep` smallest of `d` (ties: lower index), as a mask in index order.
std::vector<char> KeepSmallest(const std::vector<double>& d, std::size_t keep);
// Reduces `d` to its `keep` smallest values, in no particular order.
void KeepSmallestValues(std::vector<double>& d, std::size_t keep);

}  // namespace korvane::geometry
