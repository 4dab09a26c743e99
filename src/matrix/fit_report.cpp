#include "matrix/fit_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "text/error.h"
#include "text/numbers.h"

namespace korvane::matrix {
namespace {

using json = nlohmann::ordered_json;

// What the matrix file holds for x: the value its fifteen digits read back as.
double AsWritten(double x) {
  char buf[text::kMaxGeneralChars];
  const char* end = text::FormatGeneral15(buf, x);
  return text::ParseDouble(std::string_view(buf, static_cast<std::size_t>(end - buf))).value;
}

json Vector(const geometry::Vector3& v) { return json::array({v.x(), v.y(), v.z()}); }

json Stats(const geometry::ResidualStats& s) {
  return {{"count", s.count},
          {"rms", s.rms},
          {"median", s.median},
          {"p95", s.p95},
          {"max", s.max},
          {"relative",
           {{"rms", s.rmsRelative},
            {"median", s.medianRelative},
            {"p95", s.p95Relative},
            {"max", s.maxRelative}}}};
}

const char* CauseName(geometry::LikelyCause c) {
  switch (c) {
    case geometry::LikelyCause::none:
      return nullptr;
    case geometry::LikelyCause::vertex_order_differs:
      return "vertex order differs";
    case geometry::LikelyCause::vertices_added_or_removed:
      return "vertices added or removed";
    case geometry::LikelyCause::not_a_similar_copy:
      return "not a similar copy";
  }
  return nullptr;
}

std::string Number(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", x);
  return buf;
}

}  // namespace

FitReport MeasureFit(const obj::Mesh& base, const obj::Mesh& moved,
                     const geometry::FitOptions& options) {
  FitReport r;
  r.sameTopology = base.vertices.size() == moved.vertices.size();
  r.tolerance = options.tolerance;
  const geometry::FitTarget target(moved.vertices, moved.triangles, options.threads);
  geometry::FitOptions o = options;
  try {
    r.reference = geometry::ThreePointFit(base.vertices, moved.vertices);
    o.start = r.reference->matrix;
  } catch (const Error& e) {
    // The three-point fit refuses such meshes below; the others may still fit them.
    if (e.kind() != Error::Kind::refused || o.kind == geometry::FitKind::three_point) throw;
  }
  r.result = geometry::FitMotion(base.vertices, target, o);
  r.kind = r.result.kind;
  r.matrix = r.result.matrix;
  r.parts = geometry::DecomposeMotion(r.matrix);
  return r;
}

const char* CauseName(const FitReport& report) {
  const geometry::FitResult& f = report.result;
  if (f.fits && f.likelyCause != geometry::LikelyCause::vertex_order_differs) return nullptr;
  return CauseName(f.likelyCause);
}

std::string Verdict(const FitReport& report) {
  const geometry::FitResult& f = report.result;
  const geometry::ResidualStats& s = f.residuals.surface;
  const std::string where = f.residuals.toSurface ? "surface" : "nearest vertex";
  if (f.fits) {
    return "The motion fits: 95% of the base vertices land within " + Number(s.p95Relative) +
           " of the moved mesh's size from its " + where + " (tolerance " +
           Number(report.tolerance) + ").";
  }
  std::string text = "The motion does not fit: 95% of the base vertices land within " +
                     Number(s.p95Relative) + " of the moved mesh's size from its " + where +
                     ", more than the tolerance " + Number(report.tolerance) + ".";
  switch (f.likelyCause) {
    case geometry::LikelyCause::vertex_order_differs:
      text += " The vertices seem to be the same but in another order (a re-export?).";
      break;
    case geometry::LikelyCause::vertices_added_or_removed:
      text += " The meshes have different vertex counts: vertices were added or removed.";
      break;
    case geometry::LikelyCause::not_a_similar_copy:
      text += " The moved mesh does not look like a turned, scaled and shifted copy of the base.";
      break;
    case geometry::LikelyCause::none:
      break;
  }
  if (report.kind != geometry::FitKind::icp) text += " Try --fit icp.";
  return text;
}

std::string FitReportJson(const FitReport& report, int indent) {
  const geometry::FitResult& f = report.result;
  json matrix = json::array();
  for (int i = 0; i < 4; ++i) {
    json row = json::array();
    for (int j = 0; j < 4; ++j) row.push_back(AsWritten(report.matrix.matrix()(i, j)));
    matrix.push_back(row);
  }
  json j;
  j["fit"] = geometry::FitName(report.kind);
  json tried = json::array();
  for (const geometry::FitKind k : f.tried) tried.push_back(geometry::FitName(k));
  j["tried"] = tried;
  j["topology"] = report.sameTopology ? "same" : "different";
  j["matrix"] = matrix;
  j["scale"] = report.parts.scale;
  j["rotation"] = {{"axis", Vector(report.parts.axis)}, {"degrees", report.parts.angleDegrees}};
  j["translation"] = Vector(report.parts.translation);
  if (report.reference) {
    const auto indices = [](const geometry::ReferenceIndices& r) {
      return json::array({r.a, r.b, r.c});
    };
    j["reference_vertices"] = {{"base", indices(report.reference->base)},
                               {"moved", indices(report.reference->moved)}};
  } else {
    j["reference_vertices"] = nullptr;
  }
  json surface = Stats(f.residuals.surface);
  surface["to"] = f.residuals.toSurface ? "surface" : "vertices";
  j["residual"] = {{"surface", surface},
                   {"paired", f.residuals.paired.count > 0 ? Stats(f.residuals.paired) : json()}};
  j["tolerance"] = report.tolerance;
  j["fits"] = f.fits;
  const char* cause = CauseName(report);
  j["cause"] = cause != nullptr ? json(cause) : json();
  j["message"] = Verdict(report);
  j["iterations"] = f.iterations;
  return j.dump(indent);
}

}  // namespace korvane::matrix
