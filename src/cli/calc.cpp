// korvane calc: measure the motion between two meshes, write it, and say how
// well it fits, as text, as JSON, or as an HTML page.
#include <cstdio>
#include <string>

#include "api/streaming.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/flag_hints.h"
#include "cli/outputs.h"
#if KORVANE_REPORT_PAGE
#include "cli/report_page.h"
#endif
#include "matrix/fit_report.h"
#include "matrix/matrix_file.h"
#include "obj/mesh_format.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::cli {
namespace {

// Where the text report goes: standard error when standard output carries the
// matrix or the page.
std::FILE* g_report = stdout;

std::string General(double v) { return text::ToGeneral15(v); }

// Faces the surface was measured without, as apply tells what a replay may get wrong: counted,
// the first line named. On standard error, also with --json.
void WarnSkippedFaces(const std::string& path, const obj::SkippedFaces& s) {
  if (s.count == 0) return;
  std::fprintf(stderr,
               "korvane calc: warning: %s line %llu: %llu face line%s left out: a corner is not a "
               "vertex number or names a vertex that does not exist (or fewer than three corners); "
               "the motion is judged without %s\n",
               path.c_str(), static_cast<unsigned long long>(s.firstLine),
               static_cast<unsigned long long>(s.count), s.count == 1 ? "" : "s",
               s.count == 1 ? "it" : "them");
}

// `faces`: the fit measures against the moved mesh's faces; the base's are
// only drawn, on the report page.
obj::Mesh Load(const std::string& path, bool faces, unsigned threads) {
  obj::Mesh mesh;
  obj::SkippedFaces skipped;
  obj::ReadMesh(path, mesh, faces, api::StreamingOptions(threads), &skipped);
  WarnSkippedFaces(path, skipped);
  return mesh;
}

void PrintReferences(const char* name, const std::vector<geometry::Vector3>& v,
                     const geometry::ReferenceIndices& r) {
  const auto at = [&v](std::int32_t i) { return v[static_cast<std::size_t>(i)]; };
  std::fprintf(g_report, "  %s: %zu vertices; reference vertices A #%d %s, B #%d %s, C #%d %s\n",
               name, v.size(), r.a, VectorText(at(r.a)).c_str(), r.b, VectorText(at(r.b)).c_str(),
               r.c, VectorText(at(r.c)).c_str());
}

void PrintStats(const char* name, const geometry::ResidualStats& s) {
  std::fprintf(g_report, "  %s RMS %s, median %s, 95%% %s, max %s (95%%: %s of the size)\n", name,
               General(s.rms).c_str(), General(s.median).c_str(), General(s.p95).c_str(),
               General(s.max).c_str(), General(s.p95Relative).c_str());
}

void PrintReport(const matrix::FitReport& r, const obj::Mesh& base, const obj::Mesh& moved) {
  std::fprintf(g_report, "%s topology\n", r.sameTopology ? "same" : "different");
  std::fprintf(g_report, "  fit:         %s", geometry::FitName(r.kind));
  if (r.result.iterations > 0) std::fprintf(g_report, " (%d iterations)", r.result.iterations);
  std::fprintf(g_report, "\n");
  if (r.reference && r.kind == geometry::FitKind::three_point) {
    PrintReferences("base ", base.vertices, r.reference->base);
    PrintReferences("moved", moved.vertices, r.reference->moved);
  } else {
    std::fprintf(g_report, "  base:  %zu vertices\n  moved: %zu vertices\n", base.vertices.size(),
                 moved.vertices.size());
  }
  std::fprintf(g_report, "  scale:       %s%s\n", General(r.parts.scale).c_str(),
               r.parts.kind == geometry::MotionKind::affine ? " (the mean stretch)" : "");
  std::fprintf(g_report, "  rotation:    %s degrees about %s\n",
               General(r.parts.angleDegrees).c_str(), VectorText(r.parts.axis).c_str());
  std::fputs(StretchLines(r.parts).c_str(), g_report);
  std::fprintf(g_report, "  translation: %s\n", VectorText(r.parts.translation).c_str());
  if (r.result.mirror) std::fprintf(g_report, "  mirror:      true\n");
  const geometry::Residuals& res = r.result.residuals;
  PrintStats(res.toSurface ? "to surface: " : "to vertices:", res.surface);
  if (res.paired.count > 0) PrintStats("paired:     ", res.paired);
  if (r.result.roughness.sampled > 0 && res.surface.length > 0.0) {
    const double size = res.surface.length;
    std::fprintf(g_report,
                 "  roughness:   noise %s, spacing %s of the size (the moved mesh's own)\n",
                 General(r.result.roughness.noise / size).c_str(),
                 General(r.result.roughness.spacing / size).c_str());
  }
  if (res.reverse.count > 0) PrintStats("copy back:  ", res.reverse);
  std::fprintf(g_report, "  %s\n", platform::ToUtf8(matrix::VerdictMessage(r, kFlagHints)).c_str());
  const std::string note = platform::ToUtf8(matrix::NoteMessage(r));
  if (!note.empty()) std::fprintf(g_report, "  note: %s\n", note.c_str());
  for (const geometry::Alternative& a : r.result.alternatives) {
    const geometry::MotionParts p = geometry::DecomposeMotion(a.matrix);
    std::fprintf(g_report, "  alternative: scale %s, %s degrees about %s, translation %s\n",
                 General(p.scale).c_str(), General(p.angleDegrees).c_str(),
                 VectorText(p.axis).c_str(), VectorText(p.translation).c_str());
  }
}

}  // namespace

int Calc(const CalcOptions& o, CliPlatform& p) {
  try {
    std::vector<NamedPath> outputs = {{"--output", o.output}};
    if (!o.report.empty()) outputs.push_back({"--report", o.report});
    CheckOutputs({{"BASE.obj", o.base}, {"MOVED.obj", o.moved}}, outputs, o.force, o.json);
    if (o.output == "-" || o.report == "-") g_report = stderr;
    geometry::FitOptions fit = o.fit;
    fit.keepDistances = !o.report.empty();
    const obj::Mesh base = Load(o.base, !o.report.empty(), fit.threads);
    const obj::Mesh moved = Load(o.moved, true, fit.threads);
    const matrix::FitReport r = matrix::MeasureFit(base, moved, fit, o.base);
    matrix::WriteMatrixFile(OutputName(o.output), r.matrix);
    // The JSON text is printed or goes into the page; plain output needs none.
    const std::string json =
        o.json || !o.report.empty() ? matrix::FitReportJson(r, kFlagHints) : std::string();
#if KORVANE_REPORT_PAGE
    if (!o.report.empty())
      WriteFitPage(OutputName(o.report), r, o.base, o.moved, json, base, moved);
#endif
    if (o.json) {
      PrintJsonOnce([&] { std::printf("%s\n", json.c_str()); });
    } else {
      PrintReport(r, base, moved);
      std::fprintf(g_report, "  written:     %s\n", o.output.c_str());
      if (!o.report.empty()) std::fprintf(g_report, "  report:      %s\n", o.report.c_str());
    }
    std::fflush(stdout);
    std::fflush(g_report);
    // The matrix is written either way: a caller may still want it.
    if (!r.result.fits) return kExitDoesNotFit;
    return r.result.ambiguous ? kExitAmbiguous : kExitDone;
  } catch (...) {
    return ReportError("calc", p);
  }
}

}  // namespace korvane::cli
