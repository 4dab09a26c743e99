// format_bench [VERTICES=1000000] [DIR=/tmp] [RUNS=3] [keep]
//
// With "keep", the files are written into DIR itself (mesh.obj, mesh.stl,
// mesh.ply, ascii.ply, ascii.stl) and left there, unmeasured, for timing
// whole commands (farm-bench) and comparing outputs.
//
// One generated mesh written as OBJ, binary STL, binary PLY (float positions
// and normals, a colour, faces) and ASCII PLY. Times, best of RUNS (wall and
// CPU): replaying each file with ReplayMeshFile (all cores) against `cp`
// replacing an existing copy of the same file, ASCII PLY against OBJ; and
// reading each for measuring (ReadMesh with faces) against OBJ, per vertex.
// Goals: binary replay within 1.5x cp, ASCII PLY at OBJ's speed, reading
// at least as fast per vertex as OBJ.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/streaming.h"
#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "obj/mesh_format.h"
#include "obj/mesh_io.h"
#include "platform/file_io.h"

namespace {

using namespace korvane;

void Put(std::string& s, const void* p, std::size_t n) { s.append(static_cast<const char*>(p), n); }

void WriteStl(const std::string& path, const obj::Mesh& m) {
  platform::AtomicOutput out(path);
  std::string s(80, ' ');
  const auto n = static_cast<std::uint32_t>(m.triangles.size());
  Put(s, &n, 4);
  for (const geometry::Triangle& t : m.triangles) {
    const geometry::Vector3 normal = (m.vertices[t[1]] - m.vertices[t[0]])
                                         .cross(m.vertices[t[2]] - m.vertices[t[0]])
                                         .normalized();
    float f[12];
    for (int i = 0; i < 3; ++i) f[i] = static_cast<float>(normal[i]);
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i < 3; ++i)
        f[3 + 3 * c + i] = static_cast<float>(m.vertices[t[static_cast<std::size_t>(c)]][i]);
    }
    Put(s, f, sizeof f);
    s.append(2, '\0');
    if (s.size() > (1u << 20)) {
      out.Write(s);
      s.clear();
    }
  }
  out.Write(s);
  out.Commit();
}

void WriteAsciiStl(const std::string& path, const obj::Mesh& m) {
  platform::AtomicOutput out(path);
  std::string s = "solid bench\n";
  char text[300];
  for (const geometry::Triangle& t : m.triangles) {
    const geometry::Vector3& a = m.vertices[t[0]];
    const geometry::Vector3& b = m.vertices[t[1]];
    const geometry::Vector3& c = m.vertices[t[2]];
    const geometry::Vector3 n = (b - a).cross(c - a).normalized();
    const int k = std::snprintf(
        text, sizeof text,
        "  facet normal %e %e %e\n    outer loop\n      vertex %e %e %e\n      vertex %e %e "
        "%e\n      vertex %e %e %e\n    endloop\n  endfacet\n",
        n.x(), n.y(), n.z(), a.x(), a.y(), a.z(), b.x(), b.y(), b.z(), c.x(), c.y(), c.z());
    s.append(text, static_cast<std::size_t>(k));
    if (s.size() > (1u << 20)) {
      out.Write(s);
      s.clear();
    }
  }
  out.Write(s + "endsolid bench\n");
  out.Commit();
}

void WritePly(const std::string& path, const obj::Mesh& m, bool ascii) {
  platform::AtomicOutput out(path);
  std::string s = std::string("ply\nformat ") + (ascii ? "ascii" : "binary_little_endian") +
                  " 1.0\nelement vertex " + std::to_string(m.vertices.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\n"
                  "property float ny\nproperty float nz\nproperty uchar red\nproperty uchar green\n"
                  "property uchar blue\nelement face " +
                  std::to_string(m.triangles.size()) +
                  "\nproperty list uchar int vertex_indices\nend_header\n";
  char line[200];
  for (std::size_t i = 0; i < m.vertices.size(); ++i) {
    const geometry::Vector3& p = m.vertices[i];
    const geometry::Vector3 n = p.normalized();
    const unsigned char rgb[3] = {static_cast<unsigned char>(i), 128, 200};
    if (ascii) {
      const int k = std::snprintf(line, sizeof line, "%.6f %.6f %.6f %.4f %.4f %.4f %d %d %d\n",
                                  p.x(), p.y(), p.z(), n.x(), n.y(), n.z(), rgb[0], rgb[1], rgb[2]);
      s.append(line, static_cast<std::size_t>(k));
    } else {
      float f[6];
      for (int k = 0; k < 3; ++k) {
        f[k] = static_cast<float>(p[k]);
        f[3 + k] = static_cast<float>(n[k]);
      }
      Put(s, f, sizeof f);
      Put(s, rgb, 3);
    }
    if (s.size() > (1u << 20)) {
      out.Write(s);
      s.clear();
    }
  }
  for (const geometry::Triangle& t : m.triangles) {
    if (ascii) {
      const int k = std::snprintf(line, sizeof line, "3 %u %u %u\n", t[0], t[1], t[2]);
      s.append(line, static_cast<std::size_t>(k));
    } else {
      s += '\3';
      const std::int32_t v[3] = {static_cast<std::int32_t>(t[0]), static_cast<std::int32_t>(t[1]),
                                 static_cast<std::int32_t>(t[2])};
      Put(s, v, sizeof v);
    }
    if (s.size() > (1u << 20)) {
      out.Write(s);
      s.clear();
    }
  }
  out.Write(s);
  out.Commit();
}

}  // namespace

int main(int argc, char** argv) {
  cli::MeshOptions options;
  options.vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bool keep = argc > 4 && std::string(argv[4]) == "keep";
  const bench::ScratchDir scratch(bench::DirArg(argc, argv, 2));
  const std::string kept = bench::DirArg(argc, argv, 2);
  const auto dir = [&](const std::string& name) {
    return keep ? kept + "/" + name : scratch / name;
  };
  const int runs = static_cast<int>(bench::NumberArg(argc, argv, 3, 3));
  const std::string objPath = dir("mesh.obj");
  if (!cli::WriteSurfaceObj(objPath, options, geometry::IdentityMatrix4())) return 1;
  obj::Mesh mesh;
  obj::LoadObjMesh(objPath, mesh);
  struct File {
    const char* name;
    std::string path;
  };
  const File files[] = {{"OBJ", objPath},
                        {"binary STL", dir("mesh.stl")},
                        {"binary PLY", dir("mesh.ply")},
                        {"ASCII PLY", dir("ascii.ply")},
                        {"ASCII STL", dir("ascii.stl")}};
  WriteStl(files[1].path, mesh);
  WritePly(files[2].path, mesh, false);
  WritePly(files[3].path, mesh, true);
  WriteAsciiStl(files[4].path, mesh);
  if (keep) return 0;
  std::printf("%zu vertices, %zu triangles; best of %d\n\n", mesh.vertices.size(),
              mesh.triangles.size(), runs);
  std::printf("%-11s %9s | %-26s | %-13s | %-26s\n", "file", "MB", "replay wall / cpu s",
              "cp wall s", "read wall / cpu s (ns/vertex)");
  const geometry::Matrix4 m = bench::BenchMotion();
  const obj::StreamOptions stream = api::StreamingOptions(0);
  for (const File& f : files) {
    const std::string out = f.path + ".out" + f.path.substr(f.path.rfind('.'));
    const std::string copy = f.path + ".copy";
    const std::string cp = "cp '" + f.path + "' '" + copy + "'";
    if (std::system(cp.c_str()) != 0) return 1;  // the copy `cp` replaces
    const bench::Timing replay =
        bench::BestOf(runs, [&] { obj::ReplayMeshFile(f.path, out, m, stream); });
    const bench::Timing copied = bench::BestOf(runs, [&] {
      if (std::system(cp.c_str()) != 0) std::exit(1);
    });
    obj::Mesh read;
    const bench::Timing reading =
        bench::BestOf(runs, [&] { obj::ReadMesh(f.path, read, true, stream); });
    std::printf("%-11s %9.1f | %8.3f / %8.3f (%4.2fx cp) | %8.3f | %8.3f / %8.3f (%5.0f)\n", f.name,
                bench::Megabytes(bench::FileSize(f.path)), replay.wall, replay.cpu,
                replay.wall / copied.wall, copied.wall, reading.wall, reading.cpu,
                1e9 * reading.wall / static_cast<double>(read.vertices.size()));
  }
  return 0;
}
