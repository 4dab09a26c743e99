// Convergence: when an iterative refinement stops. One rule for ICP's steps
// and the refits of matched triangles: a step that moves the mesh by no more
// than a fixed length, or than a share of the pairs' own scatter (on rounded
// or noisy copies the last digits are lost in the scatter anyway), has settled.
#pragma once

#include <algorithm>

namespace korvane::geometry {

struct Convergence {
  double length = 0.0;        // absolute: a shift at most this has settled
  double scatterShare = 0.0;  // or at most this share of the pairs' scatter

  bool Reached(double shift, double scatter = 0.0) const {
    return shift <= std::max(length, scatterShare * scatter);
  }
};

}  // namespace korvane::geometry
