// A mesh as the measuring code sees it: vertex positions and triangles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/spatial.h"
#include "obj/obj_stream.h"

namespace korvane::obj {

// Face lines that could not be read and were left out: how many, and the first.
struct SkippedFaces {
  std::uint64_t count = 0;
  std::uint64_t firstLine = 0;
};

struct Mesh {
  std::vector<geometry::Vector3> vertices;
  std::vector<geometry::Triangle> triangles;
};

// Turns "f" lines into triangles (polygons fan-triangulated), line by line;
// counts the "v" lines so that relative references resolve. A face that
// cannot be read (a bad or missing corner) is left out.
class FaceCollector {
 public:
  // With `most`, keeps an evenly spread sample of between `most` and twice
  // that many triangles (every k-th, k a power of two), never holding more.
  explicit FaceCollector(std::vector<geometry::Triangle>& out,
                         std::size_t most = static_cast<std::size_t>(-1))
      : out_(out), most_(most) {}
  // One line; `whole` is false for the first piece of a line too long to hold,
  // whose face (if it is one) is left out.
  void Line(std::string_view line, bool whole = true);
  // The faces left out so far; Line() is called once for every line, so the count of calls is
  // the line number.
  const SkippedFaces& skipped() const { return skipped_; }

 private:
  void Thin(std::size_t from);

  std::vector<geometry::Triangle>& out_;
  std::size_t most_;
  std::uint64_t seen_ = 0;
  std::uint64_t stride_ = 1;
  std::vector<std::string_view> tokens_;
  std::vector<std::uint32_t> polygon_;
  std::uint64_t vertexCount_ = 0;
  std::uint64_t lines_ = 0;
  SkippedFaces skipped_;
};

// The vertices exactly as LoadObjVertices reads them (the same errors, cannot
// open among them), and the faces as triangles.
// The vertices are read on options.threads threads (see StreamOptions).
// `skipped`, when given, receives the face lines left out.
void LoadObjMesh(const std::string& path, Mesh& mesh, const StreamOptions& options = {},
                 SkippedFaces* skipped = nullptr);
// The faces alone, as LoadObjMesh reads them, or an evenly spread sample of
// at least `most` of them (see FaceCollector).
void LoadObjTriangles(const std::string& path, std::vector<geometry::Triangle>& triangles,
                      std::size_t most = static_cast<std::size_t>(-1),
                      SkippedFaces* skipped = nullptr);

}  // namespace korvane::obj
