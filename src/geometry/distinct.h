// Keeping distinct motions: of candidates ranked best first, each one kept
// only when it is not the same (by the caller's measure) as one kept before.
// The search's runs, the matcher's proposals and the ambiguity's alternatives
// all thin their lists this way.
#pragma once

#include <cstddef>
#include <vector>

namespace korvane::geometry {

// Whether `x` is the same as one of `kept`.
template <class T, class U, class Same>
bool AlreadyKept(const std::vector<T>& kept, const U& x, Same same) {
  for (const T& k : kept) {
    if (same(k, x)) return true;
  }
  return false;
}

// Up to `count` of `sorted`, in order, none the same as one before it.
template <class T, class Same>
std::vector<T> KeepDistinct(const std::vector<T>& sorted, std::size_t count, Same same) {
  std::vector<T> kept;
  for (const T& x : sorted) {
    if (kept.size() >= count) break;
    if (!AlreadyKept(kept, x, same)) kept.push_back(x);
  }
  return kept;
}

}  // namespace korvane::geometry
