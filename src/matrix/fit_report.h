// Measuring with evidence: a motion between two meshes found by the chosen
// fit, and how well it carries the base mesh onto the moved one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "geometry/fit.h"
#include "obj/obj_mesh.h"

namespace korvane::matrix {

struct FitReport {
  geometry::FitKind kind = geometry::FitKind::three_point;  // the fit whose motion this is
  bool sameTopology = false;
  geometry::Matrix4 matrix = geometry::Matrix4::Identity();
  geometry::MotionParts parts;
  // The three-point rule's reference vertices, when the meshes have them.
  std::optional<geometry::ThreePoint> reference;
  geometry::FitResult result;
  double tolerance = 0.0;
  geometry::MotionModel motion = geometry::MotionModel::similarity;  // the model asked for
};

// Finds the motion by `options.kind` and measures it against the moved mesh.
// The three-point matrix is bit for bit the one CalcMatrix writes. Refuses
// (korvane::Error) meshes without three vertices off one line, coordinates
// that are not finite, and least squares between unequal vertex counts.
// ICP matches the base's triangles; when `base` has none and `baseFile` is
// given, a sample of them is read from that file, only if ICP runs.
FitReport MeasureFit(const obj::Mesh& base, const obj::Mesh& moved,
                     const geometry::FitOptions& options, const std::string& baseFile = {});

// Why the motion does not fit: "mirror image", "fitted onto a part", "another
// size" (a rigid fit of a scaled copy), "stretched" (a rigid or similarity
// fit of a copy an affine motion fits), "covers part of the copy" (the base
// lands, the copy's points do not all lie on the moved base), "stopped at
// the iteration limit", "vertex order differs", "vertices added or removed" or
// "not a similar copy", or "rougher than the tolerance" (the copy's own
// roughness needs a larger one, which fits); nullptr when it fits (a fit never carries a cause).
const char* CauseName(const FitReport& report);

// The report's top-level keys, in the order the JSON writes them: the one list
// the C++ MotionReport, Python's Fit and the tests hold every host to.
inline constexpr const char* kReportKeys[] = {"fit",
                                              "motion",
                                              "tried",
                                              "topology",
                                              "matrix",
                                              "scale",
                                              "rotation",
                                              "translation",
                                              "mirror",
                                              "decomposition",
                                              "reference_vertices",
                                              "residual",
                                              "tolerance",
                                              "automatic",
                                              "size",
                                              "roughness",
                                              "fits",
                                              "ambiguous",
                                              "loose",
                                              "alternatives",
                                              "judged_share",
                                              "overlap",
                                              "outliers",
                                              "cause",
                                              "note",
                                              "message",
                                              "iterations",
                                              "iteration_limit_reached"};

// Outliers as a share of the base vertices measured (0 for none).
double OutlierShare(const geometry::FitResult& f);

// The whole report as one JSON object (the README documents its keys); its
// "message" and "note" in the user's language, hints in `hints`' words.
struct Hints;
std::string FitReportJson(const FitReport& report, const Hints& hints, int indent = 2);

}  // namespace korvane::matrix
