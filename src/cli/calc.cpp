// korvane calc: measure the motion between two meshes, write it, report it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "api/mesh_commands.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "matrix/matrix_file.h"
#include "matrix/similarity_parts.h"
#include "text/numbers.h"

namespace korvane::cli {
namespace {

std::string General(double v) { return text::ToGeneral15(v); }

std::string VectorText(const geometry::Vector3& v) {
  return "(" + General(v.x()) + ", " + General(v.y()) + ", " + General(v.z()) + ")";
}

void PrintReferences(const char* name, const obj::ObjDocument& d) {
  const auto at = [&d](std::int32_t i) { return d.vertices[static_cast<std::size_t>(i)]; };
  std::printf("  %s: %zu vertices; reference vertices A #%d %s, B #%d %s, C #%d %s\n", name,
              d.vertices.size(), d.pointIndexA, VectorText(at(d.pointIndexA)).c_str(),
              d.pointIndexB, VectorText(at(d.pointIndexB)).c_str(), d.pointIndexC,
              VectorText(at(d.pointIndexC)).c_str());
}

void PrintMotion(const geometry::Matrix4& m) {
  const matrix::SimilarityParts parts = matrix::Decompose(m);
  std::printf("  scale:       %s\n", General(parts.scale).c_str());
  std::printf("  rotation:    %s degrees about %s\n", General(parts.degrees).c_str(),
              VectorText(parts.axis).c_str());
  std::printf("  translation: %s\n", VectorText(parts.translation).c_str());
}

// For meshes whose vertex k is the same point: how far the matrix carries each
// base vertex from its moved counterpart.
void PrintDeviation(const matrix::Measurement& m) {
  double sum = 0.0;
  double worst = 0.0;
  double extent = 0.0;
  for (std::size_t k = 0; k < m.base.vertices.size(); ++k) {
    const double e = (geometry::TransformPoint(m.analysis.matrix, m.base.vertices[k]) -
                      m.transformed.vertices[k])
                         .norm();
    sum += e * e;
    worst = std::max(worst, e);
    extent = std::max(extent, m.transformed.vertices[k].cwiseAbs().maxCoeff());
  }
  const double rms = std::sqrt(sum / static_cast<double>(m.base.vertices.size()));
  std::printf("  deviation:   RMS %s, max %s\n", General(rms).c_str(), General(worst).c_str());
  // Coordinates are stored with six decimals; more than that is real misfit.
  if (worst > 1e-5 + 1e-9 * extent) {
    std::printf(
        "  warning: the moved mesh is not a similar copy of the base (shear, "
        "unequal scales, a mirror or edited vertices); the matrix carries its "
        "reference triangle only\n");
  }
}

}  // namespace

int Calc(const CalcOptions& o, CliPlatform& p) {
  try {
    const matrix::Measurement m = api::MeasureFiles(o.base, o.moved, o.output);
    matrix::WriteMatrixFile(o.output, m.analysis.matrix);
    PrintReferences("base ", m.base);
    PrintReferences("moved", m.transformed);
    PrintMotion(m.analysis.matrix);
    if (m.sameTopology) PrintDeviation(m);
    std::printf("  written:     %s\n", o.output.c_str());
    // A fit that judges its residuals against a tolerance sets this; the
    // three reference vertices carry the motion exactly and judge nothing.
    const std::optional<bool> fits;
    return fits.value_or(true) ? kExitDone : kExitDoesNotFit;
  } catch (...) {
    return ReportError("calc", p);
  }
}

}  // namespace korvane::cli
