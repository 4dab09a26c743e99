// Meshes in STL and PLY: told apart by content, read, replayed with a known
// motion, every byte but positions and normals kept, bad files refused.
#include "obj/mesh_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <regex>

#include "cli/mesh_generator.h"
#include "matrix/fit_report.h"
#include "obj/mesh_io.h"
#include "test_support.h"

namespace korvane {
namespace {

using geometry::Vector3;
using namespace std::string_literals;
using namespace korvane::testing;
using obj::MeshFormat;

obj::Mesh Surface() {
  ScratchDir dir;
  cli::MeshOptions o;
  o.vertices = 150;
  WriteFile(dir / "s.obj", cli::SurfaceObj(o, geometry::IdentityMatrix4()));
  obj::Mesh mesh;
  obj::LoadObjMesh(dir / "s.obj", mesh);
  return mesh;
}

Vector3 FaceNormal(const obj::Mesh& m, const geometry::Triangle& t) {
  return (m.vertices[t[1]] - m.vertices[t[0]])
      .cross(m.vertices[t[2]] - m.vertices[t[0]])
      .normalized();
}

std::string Bytes(const void* p, std::size_t n) { return {static_cast<const char*>(p), n}; }

std::string BinaryStl(const obj::Mesh& m) {
  std::string s = "solid but binary";
  s.resize(80, ' ');
  const auto n = static_cast<std::uint32_t>(m.triangles.size());
  s += Bytes(&n, 4);
  for (std::size_t k = 0; k < m.triangles.size(); ++k) {
    const Vector3 nn = FaceNormal(m, m.triangles[k]);
    for (int i = 0; i < 3; ++i) {
      const auto f = static_cast<float>(nn[i]);
      s += Bytes(&f, 4);
    }
    for (const std::uint32_t v : m.triangles[k]) {
      for (int i = 0; i < 3; ++i) {
        const auto f = static_cast<float>(m.vertices[v][i]);
        s += Bytes(&f, 4);
      }
    }
    const auto attribute = static_cast<std::uint16_t>(k * 7919);
    s += Bytes(&attribute, 2);
  }
  return s;
}

std::string AsciiStl(const obj::Mesh& m, const char* newline) {
  std::string s = std::string("solid part") + newline;
  char line[200];
  for (const geometry::Triangle& t : m.triangles) {
    const Vector3 n = FaceNormal(m, t);
    std::snprintf(line, sizeof line, " facet normal %e %e %e%s  outer loop%s", n.x(), n.y(), n.z(),
                  newline, newline);
    s += line;
    for (const std::uint32_t v : t) {
      const Vector3& p = m.vertices[v];
      std::snprintf(line, sizeof line, "\tvertex  %.9g %.9g %.9g%s", p.x(), p.y(), p.z(), newline);
      s += line;
    }
    s += std::string("  endloop") + newline + " endfacet" + newline;
  }
  return s + "endsolid part" + newline;
}

// The text with every number turned into "#": what must not change.
std::string Unnumbered(const std::string& text) {
  static const std::regex number(R"([-+]?[0-9]*\.?[0-9]+([eE][-+]?[0-9]+)?)");
  return std::regex_replace(text, number, "#");
}

struct Kind {
  const char* name;
  MeshFormat format;
  std::function<std::string(const obj::Mesh&)> write;
  // The bytes of a file that a replay must keep.
  std::function<std::string(const std::string&)> kept;
};

std::vector<Kind> Kinds() {
  const auto stl_kept = [](const std::string& b) {
    std::string k = b.substr(0, 84);
    for (std::size_t at = 84 + 48; at + 2 <= b.size(); at += 50) k += b.substr(at, 2);
    return k;
  };
  return {
      {"binary STL", MeshFormat::stl_binary, BinaryStl, stl_kept},
      {"ASCII STL", MeshFormat::stl_ascii, [](const obj::Mesh& m) { return AsciiStl(m, "\n"); },
       Unnumbered},
      {"ASCII STL, CR LF", MeshFormat::stl_ascii,
       [](const obj::Mesh& m) { return AsciiStl(m, "\r\n"); }, Unnumbered},
  };
}

geometry::Matrix4 Motion(bool mirror) {
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  m.linear() = 1.7 * Eigen::AngleAxisd(0.7, Vector3(1, 2, 3).normalized()).toRotationMatrix();
  if (mirror) m.linear().col(0) *= -1.0;
  m.translation() = Vector3(3, -2, 0.5);
  return m;
}

TEST(MeshFormat, EachKindReplaysTheKnownMotionAndKeepsTheRest) {
  const obj::Mesh surface = Surface();
  ScratchDir dir;
  for (const Kind& kind : Kinds()) {
    for (const bool mirror : {false, true}) {
      SCOPED_TRACE(std::string(kind.name) + (mirror ? ", mirrored" : ""));
      const std::string in = dir / "in.stl", out = dir / "out.stl";
      const std::string bytes = kind.write(surface);
      WriteFile(in, bytes);
      EXPECT_EQ(obj::DetectMeshFile(in).format, kind.format);
      const obj::Mesh before = obj::ReadMesh(in);
      // Corners welded: the surface's own vertex count comes back.
      EXPECT_EQ(before.vertices.size(), surface.vertices.size());
      ASSERT_EQ(before.triangles.size(), surface.triangles.size());
      const geometry::Matrix4 m = Motion(mirror);
      obj::ReplayCounts counts;
      obj::ReplayMeshFile(in, out, m, {}, &counts);
      EXPECT_EQ(counts.vertices, 3 * surface.triangles.size());
      const std::string written = ReadFile(out);
      EXPECT_EQ(kind.kept(written), kind.kept(bytes));
      const obj::Mesh after = obj::ReadMesh(out);
      ASSERT_EQ(after.triangles.size(), before.triangles.size());
      double worst = 0.0;
      for (std::size_t t = 0; t < before.triangles.size(); ++t) {
        for (std::size_t c = 0; c < 3; ++c) {
          // A mirror lists the corners after the first the other way round.
          const std::size_t from = mirror && c > 0 ? 3 - c : c;
          const Vector3 want = m * before.vertices[before.triangles[t][from]];
          worst = std::max(worst, (after.vertices[after.triangles[t][c]] - want).norm());
        }
        if (kind.format == MeshFormat::stl_binary) {
          // The facet normal turned with the faces and still points out.
          float n[3];
          std::memcpy(n, written.data() + 84 + 50 * t, 12);
          EXPECT_GT(Vector3(n[0], n[1], n[2]).dot(FaceNormal(after, after.triangles[t])), 0.99);
        }
      }
      EXPECT_LT(worst, 1e-5);
    }
  }
}

TEST(MeshFormat, FilesAreToldApartByContent) {
  const obj::Mesh surface = Surface();
  const std::string stl = BinaryStl(surface);
  struct Case {
    const char* name;
    std::string bytes;
    MeshFormat format;
    const char* looks;
  };
  const Case cases[] = {
      {"a.obj", "v 1 2 3\n", MeshFormat::obj, ""},
      {"a.obj", "", MeshFormat::obj, ""},         // the OBJ reader says it has no vertices
      {"a.stl", "", MeshFormat::stl_binary, ""},  // the STL reader says it is too short
      {"binary.obj", stl, MeshFormat::stl_binary, ""},
      {"ascii.dat", AsciiStl(surface, "\n"), MeshFormat::stl_ascii, ""},
      {"cut.stl", stl.substr(0, stl.size() - 10), MeshFormat::stl_binary, ""},
      {"a.ply", "ply\nformat ascii 1.0\nend_header\n", MeshFormat::ply, ""},
      {"a.bin", "glTF\x02\0\0\0", MeshFormat::glb, ""},
      {"a.json", "{\"asset\": {\"version\": \"2.0\"}}", MeshFormat::gltf, ""},
      {"a.fbx", "Kaydara FBX Binary  \0\x1a\0"s, MeshFormat::unknown, "FBX"},
      {"a.3mf", "PK\x03\x04\x14\0\0\0"s, MeshFormat::unknown, "3MF"},
      {"a.fbx", "; FBX 7.4.0 project file\n", MeshFormat::unknown, "FBX"},
      {"x", std::string(300, '\0'), MeshFormat::unknown, "binary data"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / c.name, c.bytes);
    const obj::DetectedFormat f = obj::DetectMeshFile(dir / c.name);
    EXPECT_EQ(f.format, c.format) << obj::MeshFormatName(f.format);
    EXPECT_NE(f.looksLike.find(c.looks), std::string::npos) << f.looksLike;
  }
}

// What fails names the file (and line), and leaves the output as it was.
TEST(MeshFormat, BadFilesAndOutputsAreRefused) {
  const obj::Mesh surface = Surface();
  const std::string stl = BinaryStl(surface);
  std::string count_too_big = stl;
  count_too_big[83] = '\x7f';
  struct Case {
    const char* name;
    std::string bytes;
    const char* output;
    const char* says;
  };
  const Case cases[] = {
      {"in.stl", stl, "out.obj", "another format"},
      {"in.obj", "v 1 2 3\n", "out.ply", "another format"},
      {"in.stl", stl.substr(0, stl.size() - 10), "out.stl", "cut short"},
      {"in.stl", count_too_big, "out.stl", "cut short"},
      {"in.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\n", "out.stl",
       "in.stl line 4: a vertex needs three numbers"},
      {"in.stl",
       "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\nvertex 1 2 4\nendloop\n"
       "endfacet\n",
       "out.stl", "a facet with 2 corners"},
      {"in.fbx", "Kaydara FBX Binary  \0\x1a\0"s, "out.fbx", "looks like a binary FBX file"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.says);
    WriteFile(dir / c.name, c.bytes);
    WriteFile(dir / c.output, "earlier");
    std::string message;
    try {
      obj::ReplayMeshFile(dir / c.name, dir / c.output, Motion(false));
      obj::Mesh mesh;
      obj::ReadMesh(dir / c.name, mesh, true);
      ADD_FAILURE() << "not refused";
    } catch (const Error& e) {
      message = MessageBytes(e);
    }
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_NE(message.find(c.name), std::string::npos) << message;
    EXPECT_EQ(ReadFile(dir / c.output), "earlier");
  }
}

// An OBJ base measured against its moved STL copy: the motion comes back.
TEST(MeshFormat, ObjBaseAgainstStlCopy) {
  const obj::Mesh surface = Surface();
  ScratchDir dir;
  WriteFile(dir / "base.stl", BinaryStl(surface));
  const geometry::Matrix4 m = Motion(false);
  obj::ReplayMeshFile(dir / "base.stl", dir / "moved.stl", m);
  obj::Mesh moved;
  obj::ReadMesh(dir / "moved.stl", moved, true);
  const matrix::FitReport r = matrix::MeasureFit(surface, moved, {});
  EXPECT_TRUE(r.result.fits);
  EXPECT_LT((r.matrix.matrix() - m.matrix()).cwiseAbs().maxCoeff(), 1e-5);
}

}  // namespace
}  // namespace korvane
