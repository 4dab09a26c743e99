// Deterministic test meshes written the way a real exporter writes them: a
// comment header, groups, "v", "vt", "vn" and "f a/b/c" lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::cli {

struct MeshOptions {
  std::uint64_t vertices = 1000;  // approximate; the grid is rounded to it
  std::uint64_t seed = 1;
  bool normals = true;
  bool uvs = true;
};

// A bumpy closed surface (a deformed sphere) of about `vertices` vertices.
std::vector<geometry::Vector3> SurfacePositions(const MeshOptions& options);

// The OBJ text of that surface, vertex positions moved by `m`.
std::string SurfaceObj(const MeshOptions& options, const geometry::Matrix4& m);

// Writes SurfaceObj to `path` in blocks (meshes of many millions of vertices
// never exist in memory as a whole). Returns false when the file can't be written.
bool WriteSurfaceObj(const std::string& path, const MeshOptions& options,
                     const geometry::Matrix4& m);

}  // namespace korvane::cli
