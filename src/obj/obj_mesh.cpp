#include "obj/obj_mesh.h"

#include <algorithm>

#include "obj/obj_face.h"
#include "obj/obj_line.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/lines.h"

namespace korvane::obj {

void FaceCollector::Line(std::string_view line, bool whole) {
  // Only face lines are split further than their keyword.
  const std::size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) return;
  const std::size_t end = std::min(line.find(' ', begin), line.size());
  const std::string_view keyword = line.substr(begin, end - begin);
  if (IsVertexKeyword(keyword)) {
    ++vertexCount_;
    return;
  }
  if (!whole || keyword != "f") return;
  tokens_.clear();
  text::ForEachToken(line.substr(end), [&](std::string_view t) { tokens_.push_back(t); });
  if (ParseFace(tokens_.data(), tokens_.size(), vertexCount_, polygon_)) {
    FanTriangulate(polygon_, out_);
  }
}

void LoadObjMesh(const std::string& path, Mesh& mesh, const StreamOptions& options) {
  mesh.triangles.clear();
  LoadObjVertices(path, mesh.vertices, options);
  // Faces in a second pass: it costs a read of the file, and keeps the vertex
  // reading the very code every command uses.
  platform::InputFile in;
  OpenObj(in, path);
  LineReader reader(in, std::size_t{1} << 20, kMaxLinePiece);
  FaceCollector faces(mesh.triangles);
  std::string_view piece;
  while (reader.Next(piece)) {
    if (reader.startsLine()) faces.Line(piece, !reader.continues());
  }
  // The triangle list grew by doubling; the heap keeps what it outgrew.
  if (options.returnFreeMemory) platform::ReturnFreeMemory();
}

}  // namespace korvane::obj
