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
  ++lines_;
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
    const std::size_t from = out_.size();
    FanTriangulate(polygon_, out_);
    if (most_ != static_cast<std::size_t>(-1)) Thin(from);
  } else if (skipped_.count++ == 0) {
    skipped_.firstLine = lines_;
  }
}

void FaceCollector::Thin(std::size_t from) {
  // The kept triangles are those whose number is a multiple of the stride:
  // halving them keeps every other one, and the rule goes on the same way.
  std::size_t kept = from;
  for (std::size_t k = from; k < out_.size(); ++k) {
    if (seen_++ % stride_ == 0) out_[kept++] = out_[k];
  }
  out_.resize(kept);
  if (out_.size() < 2 * most_) return;
  std::size_t half = 0;
  for (std::size_t k = 0; k < out_.size(); k += 2) out_[half++] = out_[k];
  out_.resize(half);
  stride_ *= 2;
}

void LoadObjTriangles(const std::string& path, std::vector<geometry::Triangle>& triangles,
                      std::size_t most, SkippedFaces* skipped) {
  triangles.clear();
  platform::InputFile in;
  OpenObj(in, path);
  LineReader reader(in, std::size_t{1} << 20, kMaxLinePiece);
  FaceCollector faces(triangles, most);
  std::string_view piece;
  while (reader.Next(piece)) {
    if (reader.startsLine()) faces.Line(piece, !reader.continues());
  }
  if (skipped != nullptr) *skipped = faces.skipped();
}

void LoadObjMesh(const std::string& path, Mesh& mesh, const StreamOptions& options,
                 SkippedFaces* skipped) {
  mesh.triangles.clear();
  LoadObjVertices(path, mesh.vertices, options);
  // Faces in a second pass: it costs a read of the file, and keeps the vertex
  // reading the very code every command uses.
  LoadObjTriangles(path, mesh.triangles, static_cast<std::size_t>(-1), skipped);
  // The triangle list grew by doubling; the heap keeps what it outgrew.
  if (options.returnFreeMemory) platform::ReturnFreeMemory();
}

}  // namespace korvane::obj
