// Shared by the STL and PLY harnesses: any bytes as a mesh file, read and
// replayed. Reading gives a mesh whose triangles name existing vertices, or a
// korvane::Error; a replay either writes a file that reads back as the mesh
// moved, or fails with a korvane::Error and leaves the output as it was.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_check.h"
#include "obj/mesh_format.h"
#include "text/error.h"

namespace korvane::fuzz {

inline std::string FuzzDir() {
  static const std::string dir = [] {
    const std::filesystem::path p = std::filesystem::temp_directory_path() /
                                    ("korvane-mesh-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

inline void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads `path`; false (with the mesh empty) for a korvane::Error.
inline bool TryRead(const std::string& path, obj::Mesh& mesh, const std::string& shown) {
  try {
    obj::ReadMesh(path, mesh, true);
  } catch (const Error&) {
    mesh = obj::Mesh();
    return false;
  }
  for (const geometry::Triangle& t : mesh.triangles) {
    for (const std::uint32_t i : t) FUZZ_CHECK(i < mesh.vertices.size(), shown);
  }
  return true;
}

inline void CheckMeshFile(const std::uint8_t* data, std::size_t size, const char* ext) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string shown = Show(bytes);
  const std::string in = FuzzDir() + "in." + ext, out = FuzzDir() + "out." + ext;
  Put(in, bytes);
  obj::Mesh read;
  const bool readable = TryRead(in, read, shown);
  // The motion: the identity, a turn with a scale and a shift, or a mirror.
  const unsigned pick = size == 0 ? 0u : data[size / 2] % 3u;
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  if (pick > 0) {
    m.linear() =
        2.0 * Eigen::AngleAxisd(0.5, geometry::Vector3(1, 2, 2).normalized()).toRotationMatrix();
    if (pick == 2) m.linear().col(1) *= -1.0;
    m.translation() = geometry::Vector3(1.5, -2, 0.25);
  }
  Put(out, "earlier");
  try {
    obj::ReplayMeshFile(in, out, m);
  } catch (const Error&) {
    FUZZ_CHECK(Get(out) == "earlier", shown);
    return;
  }
  if (!readable) return;
  obj::Mesh moved;
  FUZZ_CHECK(TryRead(out, moved, shown), shown);
  FUZZ_CHECK(moved.triangles.size() == read.triangles.size(), shown);
  const obj::DetectedFormat f = obj::DetectMeshFile(in);
  // A binary file keeps its size: a binary STL, or a PLY whose last format line says binary.
  bool binary = f.format == obj::MeshFormat::stl_binary;
  if (f.format == obj::MeshFormat::ply) {
    const std::string header = bytes.substr(0, bytes.find("end_header"));
    const std::size_t format = header.rfind("\nformat ");
    binary = format != std::string::npos && header.compare(format + 8, 6, "binary") == 0;
  }
  if (binary) FUZZ_CHECK(Get(out).size() == size, shown);
  // PLY keeps its vertices in order: each lands where the motion carries it.
  if (f.format == obj::MeshFormat::ply && moved.vertices.size() == read.vertices.size()) {
    for (std::size_t i = 0; i < read.vertices.size(); ++i) {
      const geometry::Vector3 want = m * read.vertices[i];
      const geometry::Vector3 got = moved.vertices[i];
      for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(want[k]) || std::fabs(want[k]) > 1e30) continue;
        FUZZ_CHECK(std::fabs(got[k] - want[k]) <= 1e-5 * (1.0 + std::fabs(want[k])), shown);
      }
    }
  }
}

}  // namespace korvane::fuzz
