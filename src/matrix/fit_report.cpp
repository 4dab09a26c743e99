#include "matrix/fit_report.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "matrix/parts_json.h"
#include "matrix/verdict.h"
#include "obj/mesh_format.h"
#include "platform/platform.h"
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

// The matrix as its file holds it: rows of the values fifteen digits read back as.
json Rows(const geometry::Matrix4& m) {
  json rows = json::array();
  for (int i = 0; i < 4; ++i) {
    json row = json::array();
    for (int k = 0; k < 4; ++k) row.push_back(AsWritten(m.matrix()(i, k)));
    rows.push_back(row);
  }
  return rows;
}

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

// The moved mesh's own roughness, absolute and of the size; null when too
// few points tell it. "tolerance": what it asks for, when it was worked out.
json RoughnessJson(const geometry::FitResult& f, double size) {
  const geometry::Roughness& r = f.roughness;
  if (r.sampled == 0) return nullptr;
  const auto rel = [size](double x) { return size > 0.0 ? x / size : 0.0; };
  return {{"spacing", r.spacing},
          {"noise", r.noise},
          {"relative", {{"spacing", rel(r.spacing)}, {"noise", rel(r.noise)}}},
          {"tolerance", f.roughTolerance > 0.0 ? json(f.roughTolerance) : json()},
          {"reverse_tolerance",
           f.roughReverseTolerance > 0.0 ? json(f.roughReverseTolerance) : json()}};
}

}  // namespace

json DecompositionJson(const geometry::MotionParts& p) {
  if (p.kind != geometry::MotionKind::affine) return nullptr;
  return {
      {"stretches", Vector(p.stretches)},
      {"axes", json::array({Vector(p.axes.col(0)), Vector(p.axes.col(1)), Vector(p.axes.col(2))})},
      {"shear", {{"xy", p.shear[0]}, {"xz", p.shear[1]}, {"yz", p.shear[2]}}}};
}

FitReport MeasureFit(const obj::Mesh& base, const obj::Mesh& moved,
                     const geometry::FitOptions& options, const std::string& baseFile) {
  FitReport r;
  r.sameTopology = base.vertices.size() == moved.vertices.size();
  r.tolerance = options.tolerance;
  r.motion = options.motion;
  const geometry::FitTarget target(moved.vertices, moved.triangles, options.threads);
  geometry::FitOptions o = options;
  try {
    r.reference = geometry::ThreePointFit(base.vertices, moved.vertices);
    o.start =
        geometry::ThreePointInModel(*r.reference, base.vertices, moved.vertices, options.Scaled());
  } catch (const Error& e) {
    // The three-point fit refuses such meshes below; the others may still fit them.
    if (e.kind() != Error::Kind::refused || o.kind == geometry::FitKind::three_point) throw;
  }
  std::vector<geometry::Triangle> read;
  const auto base_triangles = [&]() -> const std::vector<geometry::Triangle>& {
    if (base.triangles.empty() && !baseFile.empty())
      obj::ReadMeshTriangles(baseFile, read, geometry::kBaseTrianglesLooked);
    return base.triangles.empty() ? read : base.triangles;
  };
  r.result = geometry::FitMotion(base.vertices, base_triangles, target, o);
  r.tolerance = r.result.tolerance;
  r.kind = r.result.kind;
  r.matrix = r.result.matrix;
  r.parts = geometry::DecomposeMotion(r.matrix);
  return r;
}

const char* CauseName(const FitReport& report) {
  const geometry::FitResult& f = report.result;
  switch (f.shortfall) {
    case geometry::Shortfall::none:
      return nullptr;
    case geometry::Shortfall::mirror_image:
      return "mirror image";
    case geometry::Shortfall::scale:
      return "fitted onto a part";
    case geometry::Shortfall::size:
      return "another size";
    case geometry::Shortfall::stretched:
      return "stretched";
    case geometry::Shortfall::coverage:
      return "covers part of the copy";
    case geometry::Shortfall::residual:
      break;
  }
  if (f.remedy == geometry::Remedy::tolerance_auto) return "rougher than the tolerance";
  // A search cut short says nothing about the vertex order.
  if (f.hitIterationLimit) return "stopped at the iteration limit";
  return CauseName(f.likelyCause);
}

double OutlierShare(const geometry::FitResult& f) {
  return f.residuals.surface.count > 0
             ? static_cast<double>(f.outliers) / static_cast<double>(f.residuals.surface.count)
             : 0.0;
}

std::string FitReportJson(const FitReport& report, const Hints& hints, int indent) {
  const geometry::FitResult& f = report.result;
  json j;
  j["fit"] = geometry::FitName(report.kind);
  j["motion"] = geometry::MotionName(report.motion);
  json tried = json::array();
  for (const geometry::FitKind k : f.tried) tried.push_back(geometry::FitName(k));
  j["tried"] = tried;
  j["topology"] = report.sameTopology ? "same" : "different";
  j["matrix"] = Rows(report.matrix);
  j["scale"] = report.parts.scale;
  j["rotation"] = {{"axis", Vector(report.parts.axis)}, {"degrees", report.parts.angleDegrees}};
  j["translation"] = Vector(report.parts.translation);
  j["mirror"] = f.mirror;
  j["decomposition"] = DecompositionJson(report.parts);
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
  json reverse;
  if (f.residuals.reverse.count > 0) {
    reverse = Stats(f.residuals.reverse);
    reverse["to"] = f.residuals.reverseToSurface ? "surface" : "vertices";
  }
  j["residual"] = {{"surface", surface},
                   {"paired", f.residuals.paired.count > 0 ? Stats(f.residuals.paired) : json()},
                   {"reverse", reverse}};
  j["tolerance"] = report.tolerance;
  j["automatic"] = {{"tolerance", f.toleranceAuto}, {"trim", f.trimAuto}};
  j["size"] = f.residuals.surface.length;  // the moved mesh's bounding-box diagonal
  j["roughness"] = RoughnessJson(f, j["size"].get<double>());
  j["fits"] = f.fits;
  j["ambiguous"] = f.ambiguous;
  j["loose"] = f.loose;
  json alternatives = json::array();
  for (const geometry::Alternative& a : f.alternatives) {
    alternatives.push_back(
        {{"matrix", Rows(a.matrix)},
         {"residual",
          {{"surface", Stats(a.residuals.surface)},
           {"paired", a.residuals.paired.count > 0 ? Stats(a.residuals.paired) : json()},
           {"reverse", a.residuals.reverse.count > 0 ? Stats(a.residuals.reverse) : json()}}}});
  }
  j["alternatives"] = alternatives;
  j["judged_share"] = f.judgedShare;
  j["overlap"] = f.overlap;
  j["outliers"] = {{"count", f.outliers}, {"share", OutlierShare(f)}, {"max", f.largestOutlier}};
  const char* cause = CauseName(report);
  j["cause"] = cause != nullptr ? json(cause) : json();
  const text::Message note = NoteMessage(report);
  j["note"] = note.pieces().empty() ? json() : json(platform::ToUtf8(note));
  j["message"] = platform::ToUtf8(VerdictMessage(report, hints));
  j["iterations"] = f.iterations;
  j["iteration_limit_reached"] = f.hitIterationLimit;
  return j.dump(indent);
}

}  // namespace korvane::matrix
