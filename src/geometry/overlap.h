// How much of the base has a counterpart in a partial copy, read from where a
// motion puts the base vertices: those on the copy sit within its noise, the
// cut-away ones trail off far beyond it.
#pragma once

#include <vector>

namespace korvane::geometry {

struct Overlap {
  double share = 0.0;  // of the base vertices, 0 for none
  double band = 0.0;   // the inliers' reach (absolute)
};
// The share of `distances` (base vertices from the copy, absolute) that lie
// within the inliers' band: the tolerance `near`, widened to the spread of
// the nearest quarter when noise reaches beyond it (so a noisy copy is not
// taken for a partial one).
Overlap EstimateOverlap(const std::vector<double>& distances, double near);

// The trim that judges a copy with this overlap on its part alone: the share
// without a counterpart and a little more (vertices at the cut land partly
// on it), at most kMostTrim; 0 when nearly all of the base has one.
double TrimForOverlap(double overlap);

}  // namespace korvane::geometry
