// How rough a point set is on its own: how far apart its points lie and how
// far they scatter off a smooth surface. A scan or a remesh cannot be fitted
// closer than these allow, so they set an automatic tolerance and explain a
// miss under a fixed one.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::geometry {

// Both absolute, in the points' own units.
struct Roughness {
  // Median distance from a point to its nearest other point (coinciding
  // points, as at a mesh's split seams, count once).
  double spacing = 0.0;
  // Median over points of the RMS distance of its nearest neighbours from
  // a quadric fitted to them: noise, with what curvature a quadric does not
  // follow (creases, features smaller than the spacing). 0 on exact smooth pieces.
  double noise = 0.0;
  // Points the medians were taken over; 0: too few distinct points to say,
  // and both figures are 0.
  std::size_t sampled = 0;
};

// At most a few thousand points spread over the array are looked at, their
// neighbours from all of it up to 200,000 points; a larger array is thinned
// evenly to that many and the spacing scaled back as on a surface (the
// square root of the thinning). The same points give the same figures.
Roughness EstimateRoughness(const std::vector<Vector3>& points);

// The relative tolerances a copy this rough can meet when measured against
// a base this rough, each way: the 95th percentile of base vertices'
// distance to the copy, about twice the copy's spacing when it has no faces
// (a vertex lands between its points) plus about twice its noise; of the
// copy's points back onto the base, their noise, and when the base has no
// faces its noise and spacing too (onto its surface they do not count). With a margin, at least the
// default tolerance, at most kMostAutoTolerance. Each side's figures are relative to its own
// bounding-box diagonal.
inline constexpr double kMostAutoTolerance = 0.05;
struct Side {
  Roughness roughness;
  double size = 0.0;  // bounding-box diagonal
  bool hasFaces = false;
};
struct Tolerances {
  double forward = 0.0;  // the base's vertices onto the copy
  double reverse = 0.0;  // the copy's points back onto the moved base
};
Tolerances ToleranceFor(const Side& copy, const Side& base);

}  // namespace korvane::geometry
