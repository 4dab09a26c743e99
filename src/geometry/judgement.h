// The judgement: whether a motion fits, judged from its residuals both ways
// (the base onto the copy, the copy's points back onto the moved base), the
// reason when it does not and the likely cause; and of the candidates a
// search found, which fits best and which fit as well (ambiguity). Every
// fit's motion is judged here alone.
#pragma once

#include <functional>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_result.h"
#include "geometry/fit_target.h"
#include "geometry/reverse.h"

namespace korvane::geometry {

// A scaled fit can shrink the base onto a small patch of the target, where
// every residual is small. A copy keeps its spread: the band only has to be
// wide enough for removed or added vertices.
bool ScaleConsistent(double ratio);

// The stretches of m's linear part (its left polar factor).
Stretch StretchOf(const Matrix4& m);

// The verdict and likely cause for motion `m`, the base's Spread already
// known. The copy's points are measured back (`reverse`) only when the base
// lands and its pairs (equal counts) do not already fit; `reverse_distances`,
// when given, receives them (empty when not measured).
FitResult Judge(const std::vector<Vector3>& base, double base_spread, const FitTarget& target,
                const Matrix4& m, const FitOptions& options, const ReverseMeasure& reverse,
                std::vector<double>* reverse_distances = nullptr);

// Weighs r.candidates against r.matrix when it fits, unless pairs that fit
// (equal counts) decide. A candidate that fits clearly better either way (its
// capped mean distance well below, base onto copy or copy onto base, and not
// worse the other way) takes r.matrix's place with its verdict. Then sets r.ambiguous and
// r.alternatives: the candidates that fit about as well both ways and put some base vertex farther
// than the tolerance from where r.matrix puts it. Without `reverse`, the base is measured as its
// vertices. FitMotion calls it for ICP's candidates.
// `refine`, when given, takes a candidate that fits the last steps before it
// is weighed (the search polishes only its best): an unpolished truth cannot
// show that it fits better. At most kRefinedCandidates are.
using Refine = std::function<Matrix4(const Matrix4&)>;
inline constexpr std::size_t kRefinedCandidates = 8;
void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r,
                    const ReverseMeasure* reverse = nullptr, const Refine& refine = {});

// A motion that misses (Shortfall::residual) without a trim, though most of
// the base lands: sets r.trimWouldFit to the smallest trim (in steps of 0.05,
// up to kMostTrim) under which it fits both ways, when there is one.
void SuggestTrim(const std::vector<Vector3>& base, const FitTarget& target,
                 const FitOptions& options, const ReverseMeasure& reverse, FitResult& r);

// The verdict and likely cause for a motion found elsewhere; the copy's
// points are measured back onto the base's triangles (none: its vertices).
FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options = {});
FitResult EvaluateMotion(const std::vector<Vector3>& base,
                         const std::vector<Triangle>& baseTriangles, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options = {});

}  // namespace korvane::geometry
