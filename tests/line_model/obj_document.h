// One OBJ file in memory: its lines, its vertex positions, the transform
// applied when it is written out, and its three reference-vertex indices.
// The literal line model: the library streams instead (obj/obj_stream.h) and
// measures with geometry::ThreePointRule; the tests and benchmarks hold the
// library against this model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/affine.h"
#include "geometry/geometry.h"
#include "obj/obj_stream.h"

namespace korvane::obj {

class ObjDocument {
 public:
  ObjDocument();

  // Reads every line and every vertex position. False when the file cannot be
  // opened (the caller tells the user). A bad vertex coordinate raises
  // korvane::Error naming the file and line; the lines up to it are kept.
  bool Load(const std::string& path);
  // As Load, from text already in memory; `source_name` names it in errors.
  void LoadText(std::string_view text, const std::string& source_name);
  // Reads the vertex positions only, for analyses that need nothing else.
  bool LoadVertices(const std::string& path, const StreamOptions& options = {});

  // Every line normalised and followed by "\n", vertex lines moved by
  // `transform`, after the byte-order mark the text began with. A finite
  // vertex moved out of the double range raises korvane::Error naming the
  // file and line.
  std::string ToString() const;

  // Reference vertices by the exhaustive rule; always true.
  bool CalcFarthestPoint();
  // Reference vertices by the axis rule; always true. Without vertices the
  // indices stay as they are.
  bool CalcFarthestPointByAxis();

  std::vector<std::string> lines;
  bool utf8Mark = false;   // the text began with a UTF-8 byte-order mark
  std::string sourceName;  // the file or name it was loaded from
  std::vector<geometry::Vector3> vertices;
  geometry::Matrix4 transform;
  std::int32_t pointIndexA = 0;
  std::int32_t pointIndexB = 0;
  std::int32_t pointIndexC = 0;

 private:
  void AddLine(std::string_view line, const std::string& source_name, std::uint64_t number);
};

// The motion between two documents whose reference vertices were chosen:
// raises the misuse error (the not-analysed text) unless each has three
// distinct indices within its vertices, then analyses their triangles.
geometry::AffineAnalysis AnalyzeDocuments(const ObjDocument& base, const ObjDocument& transformed);
inline geometry::Matrix4 AnalyzeAffineMatrix(const ObjDocument& base,
                                             const ObjDocument& transformed) {
  return AnalyzeDocuments(base, transformed).matrix;
}

}  // namespace korvane::obj
