#include "obj/obj_mesh.h"

#include "obj/obj_face.h"
#include "obj/obj_line.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/lines.h"

namespace korvane::obj {

void FaceCollector::Line(std::string_view line, bool whole) {
  tokens_.clear();
  text::ForEachToken(line, [&](std::string_view t) { tokens_.push_back(t); });
  if (tokens_.empty()) return;
  if (IsVertexKeyword(tokens_[0])) {
    ++vertexCount_;
  } else if (whole && tokens_[0] == "f" &&
             ParseFace(tokens_.data() + 1, tokens_.size() - 1, vertexCount_, polygon_)) {
    FanTriangulate(polygon_, out_);
  }
}

bool LoadObjMesh(const std::string& path, Mesh& mesh) {
  mesh.triangles.clear();
  if (!LoadObjVertices(path, mesh.vertices)) return false;
  // Faces in a second pass: it costs a read of the file, and keeps the vertex
  // reading the very code every command uses.
  platform::InputFile in;
  if (!OpenObj(in, path)) return false;
  LineReader reader(in, std::size_t{1} << 20, kMaxLinePiece);
  FaceCollector faces(mesh.triangles);
  std::string_view piece;
  while (reader.Next(piece)) {
    if (reader.startsLine()) faces.Line(piece, !reader.continues());
  }
  // The triangle list grew by doubling; the heap keeps what it outgrew.
  platform::ReturnFreeMemory();
  return true;
}

}  // namespace korvane::obj
