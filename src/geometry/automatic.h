// The tolerance and trim a fit may choose itself: the tolerance from how
// rough the copy is, the trim from how much of the base a motion finds on
// it; and, for a miss under given ones, whether the automatic choice fits.
#pragma once

#include <functional>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_result.h"
#include "geometry/fit_target.h"

namespace korvane::geometry {

// A fit under options whose tolerance and trim are set (no automatic choice left).
using GivenFit = std::function<FitResult(const FitOptions&)>;
// The base's triangles, asked for only when the choice needs them (empty: none).
using BaseTriangles = std::function<const std::vector<Triangle>&()>;

// Resolves FitOptions::autoTolerance and autoTrim, runs `fit` (more than once
// for a trim: the first fit's motion tells the overlap), fills the result's
// tolerance, roughness and automatic flags, and names a remedy for a miss.
FitResult FitChoosing(const std::vector<Vector3>& base, const BaseTriangles& baseTriangles,
                      const FitTarget& target, const FitOptions& options, const GivenFit& fit);

}  // namespace korvane::geometry
