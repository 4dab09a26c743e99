#include "geometry/fit_options.h"

#include <cmath>

#include "text/error.h"

namespace korvane::geometry {

void CheckOptions(const FitOptions& o) {
  const auto refuse = [](text::Reason reason) { throw Error(text::Refusal{reason}); };
  if (!o.autoTolerance && (!(o.tolerance > 0.0) || !std::isfinite(o.tolerance)))
    refuse(text::Reason::tolerance_not_positive);
  if (!o.autoTrim && o.trim && !(*o.trim >= 0.0 && *o.trim <= kMostTrim))
    refuse(text::Reason::trim_out_of_range);
  if (o.maxIterations < 0) refuse(text::Reason::iteration_limit_negative);
  if (o.kind == FitKind::three_point && o.Affine()) refuse(text::Reason::three_point_not_affine);
}

const char* FitName(FitKind kind) {
  switch (kind) {
    case FitKind::automatic:
      return "auto";
    case FitKind::three_point:
      return "three-point";
    case FitKind::least_squares:
      return "least-squares";
    case FitKind::icp:
      return "icp";
  }
  return "auto";
}

const char* FitDescription(FitKind kind) {
  switch (kind) {
    case FitKind::automatic:
      return "three-point or least squares when the vertex pairs confirm it, else ICP";
    case FitKind::three_point:
      return "three reference vertices of each mesh carry the motion (CalcMatrix's rule and "
             "matrix)";
    case FitKind::least_squares:
      return "equal vertex counts, vertex i paired with vertex i";
    case FitKind::icp:
      return "any counts, any order: matched triangles and iterative closest points";
  }
  return "";
}

std::optional<FitKind> FitByName(std::string_view name) {
  for (const FitKind k : kFitKinds) {
    if (name == FitName(k)) return k;
  }
  return std::nullopt;
}

const char* MotionName(MotionModel model) {
  switch (model) {
    case MotionModel::rigid:
      return "rigid";
    case MotionModel::similarity:
      return "similarity";
    case MotionModel::affine:
      return "affine";
  }
  return "similarity";
}

std::optional<MotionModel> MotionByName(std::string_view name) {
  for (const MotionModel m : kMotionModels) {
    if (name == MotionName(m)) return m;
  }
  return std::nullopt;
}

const char* MotionDescription(MotionModel model) {
  switch (model) {
    case MotionModel::rigid:
      return "a turn and a shift: the size stays exactly as it is";
    case MotionModel::similarity:
      return "a turn, a shift and a uniform scale";
    case MotionModel::affine:
      return "any linear map and a shift: a copy stretched along some axes";
  }
  return "";
}

}  // namespace korvane::geometry
