// The guided demo: a generated mesh is moved by a known turn, scale and shift;
// the real commands measure the motion, replay it on a second mesh and undo it.
#include <cmath>
#include <cstdio>
#include <string>

#include "api/commands.h"
#include "api/globals.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/flag_hints.h"
#include "cli/mesh_generator.h"
#if KORVANE_REPORT_PAGE
#include "cli/report_page.h"
#endif
#include "matrix/fit_report.h"
#include "matrix/matrix_file.h"
#include "obj/obj_mesh.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::cli {
namespace {

bool Run(const char* name, const std::string& text = {}) {
  api::CommandArgs args;
  args.text = text.c_str();
  return api::RunCommand(*api::FindCommand(name), args);
}

std::vector<geometry::Vector3> Vertices(const std::string& path) {
  std::vector<geometry::Vector3> v;
  obj::LoadObjVertices(path, v);
  return v;
}

double WorstDistance(const std::vector<geometry::Vector3>& a,
                     const std::vector<geometry::Vector3>& b) {
  if (a.size() != b.size()) return INFINITY;
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::fmax(worst, (a[i] - b[i]).norm());
  return worst;
}

void PrintMatrix(const char* title, const geometry::Matrix4& m) {
  std::printf("%s\n", title);
  const std::string t = matrix::FormatMatrixText(m);
  std::string::size_type pos = 0;
  while (pos < t.size()) {
    const std::string::size_type lf = t.find('\n', pos);
    std::printf("    %s\n", t.substr(pos, lf - pos).c_str());
    pos = lf + 1;
  }
}

}  // namespace

int Demo(std::string dir, std::uint64_t vertices) {
  if (!platform::IsDirectory(dir)) {
    std::fprintf(stderr, "korvane demo: create the directory %s first\n", dir.c_str());
    return kExitFailed;
  }
  if (dir.back() != platform::kPathSeparator) dir += platform::kPathSeparator;
  api::WorkDirectory() = dir;

  // The motion we make: 40 degrees about (1, 2, 2)/3, scale 1.5, shift (10, -4, 2.5).
  const geometry::Vector3 axis = geometry::Vector3(1, 2, 2).normalized();
  geometry::Matrix4 motion = geometry::IdentityMatrix4();
  motion.translate(geometry::Vector3(10, -4, 2.5));
  motion.rotate(Eigen::AngleAxisd(40.0 * geometry::kPi / 180.0, axis));
  motion.scale(1.5);

  cli::MeshOptions body;
  body.vertices = vertices;
  body.seed = 7;
  const geometry::Matrix4 id = geometry::IdentityMatrix4();
  cli::WriteSurfaceObj(dir + api::kBaseObjName, body, id);
  cli::WriteSurfaceObj(dir + api::kTransformedObjName, body, motion);
  std::printf(
      "1. Wrote base.obj (%zu vertices) and transformed.obj: the same mesh turned 40 "
      "degrees about (1, 2, 2), scaled by 1.5 and moved by (10, -4, 2.5).\n",
      cli::SurfacePositions(body).size());

  std::printf("2. CalcMatrix measures the motion:\n   ");
  if (!Run("CalcMatrix")) return kExitFailed;
  const std::string active = api::JoinWithSeparator(api::kActiveMatrixName);
  const geometry::Matrix4 measured =
      matrix::ParseMatrixText(matrix::ReadMatrixFile(active), api::kActiveMatrixName);
  PrintMatrix("   active.matrix (measured):", measured);
  PrintMatrix("   the motion we made:", motion);
  const double coefficient_error = (measured.matrix() - motion.matrix()).cwiseAbs().maxCoeff();
  std::printf("   largest coefficient difference: %s\n",
              text::ToGeneral15(coefficient_error).c_str());
  {
    // The same measurement as a page: the base carried onto the moved mesh.
    obj::Mesh base_mesh, moved_mesh;
    obj::LoadObjMesh(dir + api::kBaseObjName, base_mesh);
    obj::LoadObjMesh(dir + api::kTransformedObjName, moved_mesh);
    geometry::FitOptions fit;
    fit.keepDistances = true;
    const matrix::FitReport report = matrix::MeasureFit(base_mesh, moved_mesh, fit);
#if KORVANE_REPORT_PAGE
    const std::string page = dir + "report.html";
    WriteFitPage(page, report, api::kBaseObjName, api::kTransformedObjName,
                 matrix::FitReportJson(report, kFlagHints), base_mesh, moved_mesh);
    std::printf("   %s\n   report: %s (open it in a web browser)\n",
                platform::ToUtf8(matrix::VerdictMessage(report, kFlagHints)).c_str(), page.c_str());
#else
    std::printf("   %s\n   (this build has no report page: built without Node.js)\n",
                platform::ToUtf8(matrix::VerdictMessage(report, kFlagHints)).c_str());
#endif
  }

  cli::MeshOptions other;
  other.vertices = vertices / 4;
  other.seed = 99;
  cli::WriteSurfaceObj(dir + api::kTargetObjName, other, id);
  std::printf("3. ApplyMatrix replays it on another mesh (target.obj -> applied.obj):\n");
  if (!Run("ApplyMatrix")) return kExitFailed;
  std::vector<geometry::Vector3> expected = cli::SurfacePositions(other);
  for (geometry::Vector3& p : expected) p = geometry::TransformPoint(motion, p);
  const double replay_error = WorstDistance(Vertices(dir + api::kAppliedObjName), expected);
  std::printf("   farthest vertex from where the known motion puts it: %s\n",
              text::ToGeneral15(replay_error).c_str());

  std::string applied;
  platform::ReadWholeFile(dir + api::kAppliedObjName, applied);
  platform::WriteFileAtomically(dir + api::kTargetObjName, applied);
  std::printf("4. ApplyMatrixInverse undoes it (applied.obj as target.obj -> applied.obj):\n");
  if (!Run("ApplyMatrixInverse")) return kExitFailed;
  const double undo_error =
      WorstDistance(Vertices(dir + api::kAppliedObjName), cli::SurfacePositions(other));
  std::printf("   farthest vertex from its starting position: %s\n",
              text::ToGeneral15(undo_error).c_str());

  // OBJ text keeps six decimals, so a few millionths is the expected noise.
  const bool ok = coefficient_error < 1e-4 && replay_error < 1e-4 && undo_error < 1e-4;
  std::printf(
      "%s\nFiles are in %s\n",
      ok ? "Result: motion recovered, replayed and undone." : "Result: MISMATCH (see above)",
      dir.c_str());
  return ok ? kExitDone : kExitFailed;
}

}  // namespace korvane::cli
