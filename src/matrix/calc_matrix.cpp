#include "matrix/calc_matrix.h"

#include "api/commands.h"
#include "api/globals.h"
#include "matrix/matrix_file.h"
#include "platform/platform.h"

namespace korvane {

Measurement MeasureMotion(const std::string& base_path, const std::string& transformed_path) {
  Measurement m;
  // A file that cannot be opened has been reported and leaves no vertices.
  m.base.LoadVertices(base_path);
  m.transformed.LoadVertices(transformed_path);
  m.same_topology = m.base.vertices.size() == m.transformed.vertices.size();
  platform::Current().WriteConsoleLine(m.same_topology ? "same topology" : "different topology");
  if (m.same_topology) {
    // Vertex k of one mesh is vertex k of the other: choose on the base only.
    m.base.CalcFarthestPointByAxis();
    m.transformed.pointIndexA = m.base.pointIndexA;
    m.transformed.pointIndexB = m.base.pointIndexB;
    m.transformed.pointIndexC = m.base.pointIndexC;
  } else {
    m.base.CalcFarthestPoint();
    m.transformed.CalcFarthestPoint();
  }
  // Raises the not-analysed text for documents without a usable triangle.
  m.analysis = AnalyzeDocuments(m.base, m.transformed);
  return m;
}

namespace cmd {

void CalcMatrix(const CommandArgs&) {
  const Measurement m = MeasureMotion(JoinDirect(kBaseObjName), JoinDirect(kTransformedObjName));
  WriteMatrixFile(JoinWithSeparator(kActiveMatrixName), m.analysis.matrix);
}

}  // namespace cmd
}  // namespace korvane

