// The judgement: whether a motion fits, judged from its residuals (the
// verdict, the reason when it does not, the likely cause), and whether other
// motions fit as well (ambiguity). Every fit's motion is judged here alone.
#pragma once

#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_result.h"
#include "geometry/fit_target.h"

namespace korvane::geometry {

// A scaled fit can shrink the base onto a small patch of the target, where
// every residual is small. A copy keeps its spread: the band only has to be
// wide enough for removed or added vertices.
bool ScaleConsistent(double ratio);

// The stretches of m's linear part (its left polar factor).
Stretch StretchOf(const Matrix4& m);

// The verdict and likely cause for motion `m`, the base's Spread already known.
FitResult Judge(const std::vector<Vector3>& base, double base_spread, const FitTarget& target,
                const Matrix4& m, const FitOptions& options);

// Sets r.ambiguous and r.alternatives: the motions of r.candidates that fit as
// well (within the tolerance, and about as close on average as r.matrix) and
// put some base vertex farther than the tolerance from where r.matrix puts it. Pairs that fit
// (equal counts) leave no ambiguity. FitMotion calls it for ICP's candidates.
void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r);

// The verdict and likely cause for a motion found elsewhere.
FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options = {});

}  // namespace korvane::geometry
