// Meshes in STL and PLY: told apart by content, read, replayed with a known
// motion, every byte but positions and normals kept, bad files refused.
#include "obj/mesh_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>

#include "cli/mesh_generator.h"
#include "matrix/fit_report.h"
#include "obj/mesh_io.h"
#include "obj/record_motion.h"
#include "platform/file_io.h"
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

// A PLY file of the mesh, as scanners and tools write them: normals, colours
// and a quality beside the positions, faces with flags, and an element after.
struct PlyLayout {
  const char* format;  // "ascii", "binary_little_endian", "binary_big_endian"
  bool doubles = false;
  bool faces = true;
};

void Put(std::string& s, const void* p, std::size_t n, bool big) {
  const auto* b = static_cast<const char*>(p);
  for (std::size_t k = 0; k < n; ++k) s += b[big ? n - 1 - k : k];
}

std::string Ply(const obj::Mesh& m, const PlyLayout& layout) {
  const std::string coord = layout.doubles ? "double" : "float";
  std::string s = std::string("ply\nformat ") + layout.format + " 1.0\ncomment made by hand\n";
  s += "element vertex " + std::to_string(m.vertices.size()) + "\n";
  for (const char* name : {"x", "y", "z", "nx", "ny", "nz"})
    s += "property " + coord + " " + name + "\n";
  s += "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty float quality\n";
  const std::size_t faces = layout.faces ? m.triangles.size() : 0;
  if (layout.faces) {
    s += "element face " + std::to_string(faces) +
         "\nproperty list uchar int vertex_indices\nproperty uchar flags\n";
  }
  s += "element material 1\nproperty uchar ambient\nend_header\n";
  const bool ascii = layout.format[0] == 'a';
  const bool big = !ascii && layout.format[7] == 'b';
  char line[300];
  for (std::size_t i = 0; i < m.vertices.size(); ++i) {
    const Vector3& p = m.vertices[i];
    const Vector3 n = p.normalized();
    const auto c = static_cast<unsigned char>(i * 37);
    const float q = static_cast<float>(i) * 0.25f;
    if (ascii) {
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g %.6f %.6f %.6f %d %d %d %g\n", p.x(), p.y(),
                    p.z(), n.x(), n.y(), n.z(), c, 255 - c, c / 2, static_cast<double>(q));
      s += line;
      continue;
    }
    for (int k = 0; k < 6; ++k) {
      const double v = k < 3 ? p[k] : n[k - 3];
      if (layout.doubles) {
        Put(s, &v, 8, big);
      } else {
        const auto f = static_cast<float>(v);
        Put(s, &f, 4, big);
      }
    }
    s += static_cast<char>(c);
    s += static_cast<char>(255 - c);
    s += static_cast<char>(c / 2);
    Put(s, &q, 4, big);
  }
  for (std::size_t t = 0; t < faces; ++t) {
    const geometry::Triangle& f = m.triangles[t];
    if (ascii) {
      std::snprintf(line, sizeof line, "3 %u %u %u %zu\n", f[0], f[1], f[2], t % 5);
      s += line;
      continue;
    }
    s += '\3';
    for (const std::uint32_t i : f) {
      const auto v = static_cast<std::int32_t>(i);
      Put(s, &v, 4, big);
    }
    s += static_cast<char>(t % 5);
  }
  s += ascii ? "7\n" : "\7";
  return s;
}

// A binary PLY of Ply()'s layout without its positions and normals, each
// face's corners as a set: what a replay keeps.
std::string PlyKept(const std::string& b, const PlyLayout& layout, std::size_t vertices,
                    std::size_t faces) {
  const std::size_t header = b.find("end_header\n") + 11;
  std::string k = b.substr(0, header);
  const std::size_t coords = 6 * (layout.doubles ? 8 : 4), record = coords + 7;
  std::size_t at = header;
  for (std::size_t i = 0; i < vertices; ++i, at += record) k += b.substr(at + coords, 7);
  for (std::size_t t = 0; t < faces; ++t, at += 14) {
    std::string corners[3] = {b.substr(at + 1, 4), b.substr(at + 5, 4), b.substr(at + 9, 4)};
    std::sort(corners, corners + 3);
    k += b[at] + corners[0] + corners[1] + corners[2] + b[at + 13];
  }
  return k + b.substr(at);
}

struct Kind {
  const char* name;
  MeshFormat format;
  std::function<std::string(const obj::Mesh&)> write;
  // The bytes of a file that a replay must keep.
  std::function<std::string(const std::string&)> kept;
  bool faces = true;     // false: a point cloud
  bool doubles = false;  // coordinates in double precision
};

std::vector<Kind> Kinds() {
  const auto stl_kept = [](const std::string& b) {
    std::string k = b.substr(0, 84);
    for (std::size_t at = 84 + 48; at + 2 <= b.size(); at += 50) k += b.substr(at, 2);
    return k;
  };
  std::vector<Kind> kinds = {
      {"binary STL", MeshFormat::stl_binary, BinaryStl, stl_kept},
      {"ASCII STL", MeshFormat::stl_ascii, [](const obj::Mesh& m) { return AsciiStl(m, "\n"); },
       Unnumbered},
      {"ASCII STL, CR LF", MeshFormat::stl_ascii,
       [](const obj::Mesh& m) { return AsciiStl(m, "\r\n"); }, Unnumbered},
  };
  static const PlyLayout kPly[] = {
      {"ascii"},
      {"binary_little_endian"},
      {"binary_big_endian"},
      {"binary_little_endian", true},
      {"binary_big_endian", true, false},
  };
  for (const PlyLayout& layout : kPly) {
    const bool ascii = layout.format[0] == 'a';
    kinds.push_back({layout.format, MeshFormat::ply,
                     [layout](const obj::Mesh& m) { return Ply(m, layout); },
                     [layout, ascii](const std::string& b) {
                       if (ascii) return Unnumbered(b);
                       const std::string faces = "element face ";
                       const std::size_t f = b.find(faces);
                       const std::size_t v = b.find("element vertex ") + 15;
                       return PlyKept(b, layout, std::stoul(b.substr(v)),
                                      f == std::string::npos ? 0 : std::stoul(b.substr(f + 13)));
                     },
                     layout.faces, layout.doubles});
  }
  return kinds;
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
    const bool ply = kind.format == MeshFormat::ply;
    for (const bool mirror : {false, true}) {
      SCOPED_TRACE(std::string(kind.name) + (mirror ? ", mirrored" : ""));
      const std::string in = dir / (ply ? "in.ply" : "in.stl");
      const std::string out = dir / (ply ? "out.ply" : "out.stl");
      const std::string bytes = kind.write(surface);
      WriteFile(in, bytes);
      EXPECT_EQ(obj::DetectMeshFile(in).format, kind.format);
      const obj::Mesh before = obj::ReadMesh(in);
      // STL corners welded: the surface's own vertex count comes back.
      EXPECT_EQ(before.vertices.size(), surface.vertices.size());
      ASSERT_EQ(before.triangles.size(), kind.faces ? surface.triangles.size() : 0);
      const geometry::Matrix4 m = Motion(mirror);
      obj::ReplayCounts counts;
      obj::ReplayMeshFile(in, out, m, {}, &counts);
      EXPECT_EQ(counts.vertices, ply ? surface.vertices.size() : 3 * surface.triangles.size());
      const std::string written = ReadFile(out);
      EXPECT_EQ(kind.kept(written), kind.kept(bytes));
      const obj::Mesh after = obj::ReadMesh(out);
      ASSERT_EQ(after.triangles.size(), before.triangles.size());
      ASSERT_EQ(after.vertices.size(), before.vertices.size());
      double worst = 0.0;
      std::size_t facet = 0;  // where the next ASCII "facet normal" is looked for
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
        if (kind.format == MeshFormat::stl_ascii) {
          facet = written.find("normal", facet) + 6;
          Vector3 n;
          std::istringstream(written.substr(facet, 100)) >> n.x() >> n.y() >> n.z();
          EXPECT_GT(n.dot(FaceNormal(after, after.triangles[t])), 0.99) << t;
        }
      }
      if (ply) {
        for (std::size_t i = 0; i < before.vertices.size(); ++i)
          worst = std::max(worst, (after.vertices[i] - m * before.vertices[i]).norm());
      }
      EXPECT_LT(worst, kind.doubles ? 1e-12 : 1e-5);
    }
  }
}

// PLY normals turn by the inverse transpose and stay unit length, whatever the encoding.
TEST(MeshFormat, PlyNormalsTurnWithTheMotion) {
  const obj::Mesh surface = Surface();
  ScratchDir dir;
  geometry::Matrix4 m = Motion(true);
  m.linear() *= Eigen::Vector3d(1.0, 3.0, 0.5).asDiagonal();  // not a similarity: normals show it
  for (const char* format : {"ascii", "binary_big_endian"}) {
    SCOPED_TRACE(format);
    WriteFile(dir / "in.ply", Ply(surface, {format}));
    obj::ReplayMeshFile(dir / "in.ply", dir / "out.ply", m);
    // Read back by hand: the normals follow x, y, z in every record.
    const std::string b = ReadFile(dir / "out.ply");
    std::size_t at = b.find("end_header\n") + 11;
    const Eigen::Matrix3d turn = m.linear().inverse().transpose();
    for (std::size_t i = 0; i < surface.vertices.size(); ++i) {
      Vector3 n;
      if (format[0] == 'a') {
        std::string_view t[6];
        const std::size_t end = b.find('\n', at);
        obj::Tokens(std::string_view(b).substr(at, end - at), t, 6);
        for (int k = 0; k < 3; ++k) obj::TokenNumber(t[3 + k], n[k]);
        at = end + 1;
      } else {
        for (int k = 0; k < 3; ++k)
          n[k] = obj::LoadFloat(reinterpret_cast<const unsigned char*>(b.data()) + at + 12 + 4 * k,
                                true);
        at += 31;
      }
      const Vector3 want = (turn * surface.vertices[i].normalized()).normalized();
      EXPECT_LT((n - want).norm(), 1e-5) << i;
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
    EXPECT_NE(f.looksLike.english.find(c.looks), std::string::npos) << f.looksLike.english;
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

// A Japanese user reads the refusals of bad STL and PLY files in Japanese:
// only the formats' own keywords stay as they are.
TEST(MeshFormat, RefusalsAreWordedInJapanese) {
  std::string stl = BinaryStl(Surface());
  stl[83] = '\x7f';
  const std::string ply = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n";
  const std::string xyz = ply + "property float y\nproperty float z\n";
  const std::pair<const char*, std::string> cases[] = {
      {"count.stl", stl},
      {"vertex.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\n"},
      {"corners.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\nendloop\n"},
      {"inside.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\n"},
      {"xyz.ply", ply + "end_header\n1\n2\n3\n"},
      {"version.ply", "ply\nformat ascii 2.0\nend_header\n"},
      {"short.ply", xyz + "end_header\n0 0 0\n"},
      {"number.ply", xyz + "end_header\n0 @ 0\n1 0 0\n0 1 0\n"},
      {"face.ply", xyz + "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                         "0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n"},
      {"count.ply",
       "ply\nformat binary_little_endian 1.0\nelement vertex 9\nproperty float x\n"
       "property float y\nproperty float z\nend_header\n"},
      {"out.ply", xyz + "end_header\n0 0 0\n1 0 0\n0 1 0\n"},  // replayed into out.stl
      {"part.fbx", std::string("Kaydara FBX Binary  \0\x1a\0", 23)},
      {"part.3mf", std::string("PK\x03\x04\x14\0\0\0", 8)},
      {"part.x", "xof 0303txt 0032\n"},
  };
  const std::vector<std::string> keywords = {
      "vertex", "element", "property", "end_header", "format", "ply", "stl", "Korvane", "DirectX"};
  ScratchDir dir;
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    WriteFile(dir / name, bytes);
    try {
      if (std::string(name) == "out.ply") {
        obj::ReplayMeshFile(dir / name, dir / "out.stl", Motion(false));
      } else {
        obj::ReadMesh(dir / name);
      }
      ADD_FAILURE() << "not refused";
    } catch (const Error& e) {
      ExpectJapanese(e.message(), keywords);
    }
  }
}

// `text` with a line of 1500 bytes (longer than the 1000 the block tests
// allow) after the first line end from `at` on; LongLineNamed says its line.
std::string LongLineAfter(const std::string& text, std::size_t at) {
  std::string s = text;
  s.insert(s.find('\n', at) + 1, std::string(1500, 'a') + "\n");
  return s;
}
std::string LongLineNamed(const std::string& text) {
  const std::string head = text.substr(0, text.find('\n', 3000) + 1);
  const auto before = std::count(head.begin(), head.end(), '\n');
  return "line " + std::to_string(before + 1) + ":";
}

// Blocks on several threads write what one thread writes, whatever the
// blocks cut: records split one by one, CRLF and blank lines, a number with
// more digits late in the file (the replay starts again), a bad number or a
// line too long (the same line named), a mirror (faces turned round).
TEST(MeshFormat, BlocksOnThreadsWriteWhatOneThreadWrites) {
  const obj::Mesh surface = Surface();
  std::string ascii = Ply(surface, {"ascii"});
  const std::size_t body = ascii.find("end_header\n") + 11;
  std::string crlf = ascii;
  crlf.insert(crlf.find('\n', body + 300), "\r");
  crlf.insert(crlf.find('\n', body + 900) + 1, " \t\n");
  std::string digits = ascii;
  digits.replace(digits.find('\n', body + 2000) + 1, 4, "0.12345678901");
  std::string bad = ascii;
  bad.replace(bad.find('\n', body + 1500) + 1, 1, "x");
  const std::string stl = AsciiStl(surface, "\r\n");
  std::string stl_digits = stl;
  const std::size_t vertex = stl_digits.find("vertex", 4000);
  stl_digits.replace(vertex, stl_digits.find('\r', vertex) - vertex, "vertex 1.00000000002 2 3");
  const std::string stl_long = LongLineAfter(stl, 3000);
  const std::pair<const char*, std::string> files[] = {
      {"ascii.stl", stl},
      {"digits.stl", stl_digits},
      {"bad.stl", stl.substr(0, 5000)},  // ends inside a facet
      {"bad-long.stl", stl_long},
      {"part.stl", BinaryStl(surface)},
      {"le.ply", Ply(surface, {"binary_little_endian"})},
      {"be.ply", Ply(surface, {"binary_big_endian", true})},
      {"ascii.ply", ascii},
      {"crlf.ply", crlf},
      {"digits.ply", digits},
      {"bad.ply", bad},
  };
  ScratchDir dir;
  for (const auto& [name, bytes] : files) {
    WriteFile(dir / name, bytes);
    for (const bool mirror : {false, true}) {
      SCOPED_TRACE(std::string(name) + (mirror ? " mirrored" : ""));
      std::string written[2];
      for (const int run : {0, 1}) {
        obj::StreamOptions o;
        o.threads = run == 0 ? 1 : 3;
        o.block = run == 0 ? 0 : 61;  // a record or two a block
        o.maxPiece = 1000;
        const std::string out = dir / (std::to_string(run) + name);
        try {
          obj::ReplayMeshFile(dir / name, out, Motion(mirror), o);
          written[run] = ReadFile(out);
        } catch (const Error& e) {
          written[run] = "refused: " + MessageBytes(e);
        }
      }
      EXPECT_EQ(written[0], written[1]);
      EXPECT_EQ(written[0].rfind("refused", 0) == 0, std::string(name).rfind("bad", 0) == 0);
      if (bytes == stl_long) {
        EXPECT_NE(written[0].find(LongLineNamed(stl)), std::string::npos) << written[0];
      }
    }
  }
}

// Reading ASCII STL and PLY in blocks on several threads gives the mesh, or
// the refusal, one thread gives: the first fault in file order is named, a
// facet of two corners before a vertex without numbers, a face naming a
// vertex that cannot be before a number that is not one.
TEST(MeshFormat, AsciiBlocksReadAsOneThreadReads) {
  const obj::Mesh surface = Surface();
  const std::string stl = AsciiStl(surface, "\r\n");
  std::string faults = stl;
  faults.replace(faults.find("vertex", 3000), 6, "  \r\n  ");  // two corners left
  faults.replace(faults.find("vertex", 5000), 40, "vertex 1 2\n");
  std::string ply = Ply(surface, {"ascii"});
  ply.insert(ply.find('\n', ply.find("end_header") + 700) + 1, "\t\r\n");
  std::string ply_faults = ply;
  const std::size_t face = ply_faults.find("\n3 ") + 1;
  ply_faults.replace(face, 3, "3 -1");
  ply_faults.replace(ply_faults.find("\n3 ", face + 100) + 1, 3, "3 x");
  const std::string stl_long = LongLineAfter(stl, 3000);
  const std::pair<const char*, std::string> files[] = {{"crlf.stl", stl},
                                                       {"faults.stl", faults},
                                                       {"faults-long.stl", stl_long},
                                                       {"cut.stl", stl.substr(0, 4000)},
                                                       {"blank.ply", ply},
                                                       {"faults.ply", ply_faults}};
  ScratchDir dir;
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    WriteFile(dir / name, bytes);
    std::string read[2];
    for (const int run : {0, 1}) {
      obj::StreamOptions o;
      o.threads = run == 0 ? 1 : 3;
      o.block = run == 0 ? 0 : 53;
      o.maxPiece = 1000;
      try {
        obj::Mesh m;
        obj::ReadMesh(dir / name, m, true, o);
        for (const Vector3& p : m.vertices) read[run] += Bytes(p.data(), sizeof(double) * 3);
        for (const geometry::Triangle& t : m.triangles) read[run] += Bytes(t.data(), 12);
      } catch (const Error& e) {
        read[run] = "refused: " + MessageBytes(e);
      }
    }
    EXPECT_EQ(read[0], read[1]);
    EXPECT_EQ(read[0].rfind("refused", 0) == 0, std::string(name).rfind("faults", 0) == 0)
        << read[0];
    if (bytes == stl_long) {
      EXPECT_NE(read[0].find(LongLineNamed(stl)), std::string::npos) << read[0];
    }
  }
}

// Binary PLY records with lists (vertices with a list of their own, faces)
// replayed in blocks, some cut across the bytes read ahead (the file is
// larger than that buffer): the same bytes as one thread writes, the
// positions moved, the faces turned round under a mirror, the lists kept.
TEST(MeshFormat, BinaryRecordsWithListsReplayInBlocks) {
  cli::MeshOptions mo;
  mo.vertices = 40000;
  obj::Mesh mesh;
  ScratchDir dir;
  WriteFile(dir / "s.obj", cli::SurfaceObj(mo, geometry::IdentityMatrix4()));
  obj::LoadObjMesh(dir / "s.obj", mesh);
  std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex " +
                    std::to_string(mesh.vertices.size()) +
                    "\nproperty float x\nproperty list uchar ushort tags\nproperty float y\n"
                    "property float z\nelement face " +
                    std::to_string(mesh.triangles.size()) +
                    "\nproperty list uchar int vertex_indices\nend_header\n";
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    const float p[3] = {static_cast<float>(mesh.vertices[i].x()),
                        static_cast<float>(mesh.vertices[i].y()),
                        static_cast<float>(mesh.vertices[i].z())};
    const auto n = static_cast<unsigned char>(i % 4);
    ply += Bytes(p, 4) + Bytes(&n, 1) + std::string(2 * n, static_cast<char>(i)) + Bytes(p + 1, 8);
  }
  for (const geometry::Triangle& t : mesh.triangles) ply += "\3" + Bytes(t.data(), 12);
  ASSERT_GT(ply.size(), std::size_t{3} << 19);
  WriteFile(dir / "in.ply", ply);
  const obj::Mesh before = obj::ReadMesh(dir / "in.ply");
  for (const bool mirror : {false, true}) {
    SCOPED_TRACE(mirror ? "mirrored" : "");
    std::string written[2];
    for (const int run : {0, 1}) {
      obj::StreamOptions o;
      o.threads = run == 0 ? 1 : 3;
      o.block = run == 0 ? 0 : 1000;
      obj::ReplayMeshFile(dir / "in.ply", dir / "out.ply", Motion(mirror), o);
      written[run] = ReadFile(dir / "out.ply");
    }
    ASSERT_EQ(written[0], written[1]);
    ASSERT_EQ(written[0].size(), ply.size());
    const obj::Mesh after = obj::ReadMesh(dir / "out.ply");
    ASSERT_EQ(after.vertices.size(), before.vertices.size());
    for (std::size_t i = 0; i < before.vertices.size(); ++i)
      ASSERT_LT((after.vertices[i] - Motion(mirror) * before.vertices[i]).norm(), 1e-3) << i;
    for (std::size_t t = 0; t < before.triangles.size(); ++t) {
      const geometry::Triangle& b = before.triangles[t];
      const geometry::Triangle want = mirror ? geometry::Triangle{b[0], b[2], b[1]} : b;
      ASSERT_EQ(after.triangles[t], want) << t;
    }
    // The lists between the numbers are the input's, byte for byte.
    for (std::size_t at = ply.find("end_header\n") + 11, i = 0; i < mesh.vertices.size(); ++i) {
      const std::size_t list = 1 + 2 * static_cast<std::size_t>(ply[at + 4]);
      ASSERT_EQ(written[0].substr(at + 4, list), ply.substr(at + 4, list)) << i;
      at += 12 + list;
    }
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

namespace korvane {
namespace {

// Numbers written with the input's significant digits read as printf writes them.
TEST(MeshFormat, SignificantDigitsAsPrintfWritesThem) {
  std::uint64_t state = 7;
  const auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 11;
  };
  std::size_t differ = 0;
  for (int k = 0; k < 200000; ++k) {
    const double mantissa = static_cast<double>(next()) / 9007199254740992.0 - 0.5;
    const double v = std::ldexp(mantissa, static_cast<int>(next() % 120) - 60);
    const int digits = 7 + static_cast<int>(next() % 9);
    for (const bool scientific : {false, true}) {
      std::string ours;
      obj::NumberStyle style;
      style.significant = digits;
      obj::AppendNumber(ours, v, style, scientific);
      char want[64];
      std::snprintf(want, sizeof want, scientific ? "%.*e" : "%.*g",
                    scientific ? digits - 1 : digits, v);
      if (ours != want) {
        ++differ;
        // Only a value within a rounding of a tie may differ, in its last digit.
        EXPECT_NEAR(std::stod(ours), v, std::fabs(v) * std::pow(10.0, 1 - digits)) << want;
      }
    }
  }
  EXPECT_LT(differ, 4u) << differ;  // of 400,000
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// ASCII numbers keep the most digits any number of the file carries, even
// when the first ones carry fewer; --digits overrides; nothing is left behind.
TEST(MeshFormat, AsciiNumbersKeepTheInputsDigits) {
  ScratchDir dir;
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  m.translation() = Vector3(0.1, 0, 0);
  const std::string late = "1.23456789012";  // 12 digits, after numbers of one
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"in.ply",
       "ply\nformat ascii 1.0\nelement vertex 2\nproperty double x\nproperty double y\n"
       "property double z\nend_header\n1 2 3\n" +
           late + " 2 3\n"},
      {"in.stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\nvertex 0 1 0\nvertex " +
                     late + " 0 1\nendloop\nendfacet\nendsolid s\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = std::string("out") + (c.name + 2);
    WriteFile(dir / c.name, c.text);
    for (const int digits : {-1, 2}) {  // -1: the input's digits
      obj::ReplayStyle style;
      style.digitsChosen = digits >= 0;
      style.digits = std::max(digits, 0);
      obj::ReplayMeshFile(dir / c.name, dir / out, m, {}, nullptr, style);
      const obj::Mesh moved = obj::ReadMesh(dir / out);
      ASSERT_FALSE(moved.vertices.empty());
      const double x = std::stod(late) + 0.1, got = moved.vertices.back().x();
      if (digits < 0) {
        EXPECT_NEAR(got, x, 1e-11);
        EXPECT_NE(ReadFile(dir / out).find("1.1 2 3\n"), std::string::npos) << ReadFile(dir / out);
      } else {
        EXPECT_EQ(got, 1.33);
      }
      EXPECT_EQ(dir.Entries(), (std::vector<std::string>{c.name, out}));
    }
    std::remove((dir / c.name).c_str());
    std::remove((dir / out).c_str());
  }
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Binary records moved four at a time write what MeshMotion writes one at a
// time, bit for bit: signed zeros, zero normals, NaN, infinities, subnormals
// and the largest floats among ordinary values, groups cut short, both
// byte orders, a mirror; a position with a finite coordinate carried out of
// range is refused.
TEST(MeshFormat, RecordsMovedFourAtATimeAsOneByOne) {
  const float specials[] = {0.0f, -0.0f, 1e-42f, -3e-39f, 1.0f, NAN, INFINITY, -INFINITY};
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next_float = [&](bool special) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    if ((state >> 60) < 3) return specials[(state >> 33) % (special ? std::size(specials) : 5)];
    return static_cast<float>(static_cast<double>(state >> 11) * 0x1p-53 * 2000.0 - 1000.0);
  };
  geometry::Matrix4 mirror = geometry::IdentityMatrix4();
  mirror.matrix() << -0.6, 0.8, 0.1, 5.0, 0.8, 0.6, -0.2, -7.5, 0.05, 0.1, 1.3, 0.25, 0, 0, 0, 1;
  geometry::Matrix4 plain = mirror;
  plain.matrix().row(0) *= -1.0;
  for (const int variant : {0, 1, 2, 3}) {
    const obj::MeshMotion motion(variant % 2 == 0 ? plain : mirror);
    obj::AllowAvxForRecords(variant < 2);
    for (const bool stl : {true, false}) {
      obj::FloatRecords layout = obj::StlFacetLayout(motion.mirrors);
      if (!stl) {  // a PLY vertex: x y z, a colour, nx ny nz
        layout = obj::FloatRecords{};
        layout.stride = 27;
        layout.position[0][0] = 0, layout.position[0][1] = 4, layout.position[0][2] = 8;
        layout.normals = true;
        layout.normal[0] = 15, layout.normal[1] = 19, layout.normal[2] = 23;
      }
      for (const bool big : {false, true}) {
        if (stl && big) continue;
        layout.big = big;
        // 9: its seventh record's last position's z is carried out of float range.
        for (const std::size_t count :
             {std::size_t{1}, std::size_t{4}, std::size_t{7}, std::size_t{9}, std::size_t{203}}) {
          std::vector<unsigned char> records(count * layout.stride);
          for (std::size_t r = 0; r < count; ++r) {  // other bytes stay as they are
            unsigned char* p = &records[r * layout.stride];
            for (std::size_t i = 0; i < layout.stride; ++i)
              p[i] = static_cast<unsigned char>(state >> (i % 56));
            for (std::size_t c = 0; c < layout.points; ++c)
              for (const std::size_t o : layout.position[c])
                obj::StoreFloat(p + o, next_float(false), big);
            for (const std::size_t o : layout.normal) obj::StoreFloat(p + o, next_float(true), big);
          }
          if (count == 203) {  // a whole group of zero normals, and a normal that overflows
            for (std::size_t r = 8; r < 12; ++r)
              for (const std::size_t o : layout.normal)
                obj::StoreFloat(&records[r * layout.stride + o], 0.0f, big);
            obj::StoreFloat(&records[13 * layout.stride + layout.normal[2]], 3.4e38f, big);
            const float nowhere[] = {NAN, INFINITY, -INFINITY};  // no finite coordinate to carry
            for (int j = 0; j < 3; ++j)
              obj::StoreFloat(&records[2 * layout.stride + layout.position[0][j]], nowhere[j], big);
          }
          if (count == 9) {
            obj::StoreFloat(&records[6 * layout.stride + layout.position[layout.points - 1][2]],
                            3.4e38f, big);
          }
          std::vector<unsigned char> expected = records;
          bool refused = false;
          for (std::size_t r = 0; r < count && !refused; ++r) {
            unsigned char* p = &expected[r * layout.stride];
            Vector3 moved[3];
            for (std::size_t c = 0; c < layout.points; ++c) {
              const auto* o = layout.position[c];
              const Vector3 before(obj::LoadFloat(p + o[0], big), obj::LoadFloat(p + o[1], big),
                                   obj::LoadFloat(p + o[2], big));
              moved[c] = motion.Point(before);
              refused = refused || obj::CarriedOutOfRange(before, moved[c], 3.4028234663852886e38);
            }
            const auto* o = layout.normal;
            const Vector3 n =
                motion.Normal({obj::LoadFloat(p + o[0], big), obj::LoadFloat(p + o[1], big),
                               obj::LoadFloat(p + o[2], big)});
            for (int j = 0; j < 3; ++j) obj::StoreFloat(p + o[j], static_cast<float>(n[j]), big);
            for (std::size_t c = 0; c < layout.points; ++c) {
              const auto* to = layout.position[layout.swapCorners && c > 0 ? 3 - c : c];
              for (int j = 0; j < 3; ++j)
                obj::StoreFloat(p + to[j], static_cast<float>(moved[c][j]), big);
            }
          }
          SCOPED_TRACE(std::to_string(count) + (stl ? " STL" : " PLY") + (big ? " big" : "") +
                       (variant < 2 ? "" : " SSE2"));
          const auto move = [&] {
            if (stl) {
              obj::MoveStlFacets(records.data(), count, motion, "m");
            } else {
              obj::MoveFloatRecords(records.data(), count, layout, motion, "m");
            }
          };
          ASSERT_EQ(refused, count == 9);
          if (refused) {
            EXPECT_THROW(move(), Error);
          } else {
            move();
            const auto differ = std::mismatch(records.begin(), records.end(), expected.begin());
            const auto at = static_cast<std::size_t>(differ.first - records.begin());
            EXPECT_EQ(at, records.size())
                << "record " << at / layout.stride << ", byte " << at % layout.stride;
          }
        }
      }
    }
  }
  obj::AllowAvxForRecords(true);
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// The rest of an input, copied file to file by the system or read and
// written where a platform cannot: after bytes read and peeked, behind
// bytes buffered for the output, across copying steps, and at the end.
TEST(MeshFormat, RestOfAFileCopiedAsItIs) {
  ScratchDir dir;
  std::string bytes(20u << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 >> 7);
  WriteFile(dir / "in.bin", bytes);
  for (const bool system_copy : {true, false}) {
    std::optional<FakePlatform> fake;  // copies nothing itself: read and written
    if (!system_copy) fake.emplace();
    for (const std::size_t read : {std::size_t{0}, std::size_t{5}, bytes.size()}) {
      SCOPED_TRACE(std::to_string(read) + (system_copy ? "" : ", read and written"));
      platform::InputFile in;
      ASSERT_TRUE(in.Open(dir / "in.bin"));
      std::string head(read, '\0');
      ASSERT_EQ(in.Read(head.data(), read), read);
      in.Peek(3);
      {
        platform::AtomicOutput out(dir / "out.bin");
        out.Write("head:");
        out.CopyRest(in);
        out.Commit();
      }
      EXPECT_TRUE(ReadFile(dir / "out.bin") == "head:" + bytes.substr(read));
    }
  }
}

}  // namespace
}  // namespace korvane
