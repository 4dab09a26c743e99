#include "matrix/measure.h"

#include <utility>

namespace korvane::matrix {

Measurement Measure(obj::ObjDocument base, obj::ObjDocument transformed) {
  Measurement m;
  m.base = std::move(base);
  m.transformed = std::move(transformed);
  m.sameTopology = m.base.vertices.size() == m.transformed.vertices.size();
  if (m.sameTopology) {
    // Vertex k of one mesh is vertex k of the other: choose on the base only.
    m.base.CalcFarthestPointByAxis();
    m.transformed.pointIndexA = m.base.pointIndexA;
    m.transformed.pointIndexB = m.base.pointIndexB;
    m.transformed.pointIndexC = m.base.pointIndexC;
  } else {
    m.base.CalcFarthestPoint();
    m.transformed.CalcFarthestPoint();
  }
  m.analysis = obj::AnalyzeDocuments(m.base, m.transformed);
  return m;
}

}  // namespace korvane::matrix
