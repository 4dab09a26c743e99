// Whether the surface pins an affine motion down: across a thin part, some
// stretches and shears move the base's vertices along its own surface, which
// no distance to the surface measures.
#pragma once

#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_result.h"
#include "geometry/fit_target.h"
#include "geometry/reverse.h"

namespace korvane::geometry {

// How far another motion is tried: its farthest base vertex this many
// tolerances from where r.matrix puts it.
inline constexpr double kLooseTolerances = 10.0;

// For an affine r.matrix that fits without pairs to pin it: the change of it
// the copy's surface measures least, scaled to move the base that far, is
// judged both ways; when it fits too (either sign), it joins r.alternatives,
// and r.ambiguous and r.loose are set.
void JudgeLooseAffine(const std::vector<Vector3>& base, const FitTarget& target,
                      const FitOptions& options, const ReverseMeasure& reverse, FitResult& r);

}  // namespace korvane::geometry
