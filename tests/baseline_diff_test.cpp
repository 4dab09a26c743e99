// Differential tests: the streaming replay, the vertex reader, the in-memory
// document and the matrix reader must give exactly what the straightforward
// getline/stod/to_string implementation gives, on generated exporter-like
// meshes and on hand-made files full of awkward lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "split_mix.h"
#include "cli/mesh_generator.h"
#include "geometry/geometry.h"
#include "matrix/motion.h"
#include "matrix/matrix_file.h"
#include "line_model/obj_document.h"
#include "obj/obj_stream.h"
#include "text/error.h"
#include "platform/platform.h"
#include "straightforward.h"
#include "test_support.h"

namespace korvane {
namespace {

using korvane::testing::SplitMix;


using korvane::testing::ScratchDir;
// Files in and out, byte for byte.
const auto& ReadBytes = korvane::testing::ReadFile;
const auto& WriteBytes = korvane::testing::WriteFile;

std::uint64_t Bits(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}


// Bytes made visible, for failure messages about control characters.
std::string Show(const std::string& s, std::size_t limit = 160) {
  std::string out;
  for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...";
  return out;
}

// Compares whole texts but reports only the first differing line: the texts
// run to tens of megabytes.
::testing::AssertionResult SameText(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  const auto at = static_cast<std::size_t>(diff.first - expected.begin());
  const std::size_t start = at == 0 ? 0 : expected.rfind('\n', at - 1) + 1;
  const auto line_of = [start](const std::string& s) {
    const std::size_t lf = s.find('\n', start);
    return start >= s.size() ? std::string("<end>") : Show(s.substr(start, lf - start + 1));
  };
  return ::testing::AssertionFailure()
         << "sizes " << expected.size() << " (baseline) vs " << actual.size()
         << ", first difference at byte " << at << " on line "
         << std::count(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(start),
                       '\n') +
                1
         << "\n  baseline: " << line_of(expected) << "\n  library:  " << line_of(actual);
}

::testing::AssertionResult SameVertices(const std::vector<Vector3>& expected,
                                        const std::vector<Vector3>& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure()
           << expected.size() << " vertices (baseline) vs " << actual.size();
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      if (Bits(expected[i][k]) != Bits(actual[i][k])) {
        return ::testing::AssertionFailure()
               << "vertex " << i << " coordinate " << k << ": baseline " << expected[i][k] << " vs "
               << actual[i][k];
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// The baseline writes "\n"; the library writes the platform's line end.
std::string WithPlatformLineEnds(const std::string& text) {
  if (platform::kNewline == "\n") return text;
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out.append(platform::kNewline.data(), platform::kNewline.size());
    } else {
      out += c;
    }
  }
  return out;
}

Matrix4 Similarity(std::uint64_t seed, double translation_scale) {
  SplitMix rng(seed);
  Eigen::Quaterniond q(rng.Symmetric(), rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
  q.normalize();
  Matrix4 m = IdentityMatrix4();
  m.linear() = (0.3 + 2.7 * rng.Uniform()) * q.toRotationMatrix();
  m.translation() = translation_scale * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
  return m;
}

struct NamedMatrix {
  const char* name;
  Matrix4 m;
};

std::vector<NamedMatrix> Motions() {
  const Matrix4 similarity = Similarity(11, 100.0);
  Matrix4 far_away = Similarity(12, 1.0);
  far_away.translation() = Vector3(1.0e7, -3.5e9, 2.5e12);
  Matrix4 tiny = Similarity(13, 1.0e-6);
  tiny.linear() *= 1.0e-6;
  return {{"identity", IdentityMatrix4()},
          {"similarity", similarity},
          {"inverse", similarity.inverse()},
          {"far translation", far_away},
          {"shrink to micro units", tiny}};
}

// What a run ended with; the library's error kinds mapped onto std::stod's.
enum class Outcome { ok, invalid, out_of_range, other };

const char* Name(Outcome o) {
  switch (o) {
    case Outcome::ok:
      return "ok";
    case Outcome::invalid:
      return "invalid number";
    case Outcome::out_of_range:
      return "number out of range";
    case Outcome::other:
      return "other failure";
  }
  return "?";
}

Outcome RunBaseline(const std::function<void()>& f) {
  try {
    f();
    return Outcome::ok;
  } catch (const std::invalid_argument&) {
    return Outcome::invalid;
  } catch (const std::out_of_range&) {
    return Outcome::out_of_range;
  } catch (...) {
    return Outcome::other;
  }
}

Outcome RunLibrary(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
    return Outcome::ok;
  } catch (const Error& e) {
    if (message != nullptr) *message = platform::ToUtf8(e.message());
    if (e.kind() == Error::Kind::invalid_number) return Outcome::invalid;
    if (e.kind() == Error::Kind::number_out_of_range) return Outcome::out_of_range;
    return Outcome::other;
  } catch (...) {
    return Outcome::other;
  }
}

// Every reader and writer on one file under one motion. The file must be one
// the baseline accepts. Where the baseline writes "inf" for a finite vertex
// the motion carries out of the double range, the library refuses the file
// and leaves its output as it was.
void ExpectAllMatchBaseline(const ScratchDir& dir, const std::string& path, const Matrix4& m,
                            bool with_document = true) {
  const std::string expected = baseline::ApplyStraightforward(path, m);
  const std::string out = dir / "applied.obj";
  const std::vector<Vector3> vertices = baseline::VerticesStraightforward(path);
  if (std::any_of(vertices.begin(), vertices.end(), [&](const Vector3& v) {
        return v.allFinite() && !TransformPoint(m, v).allFinite();
      })) {
    WriteBytes(out, "earlier");
    std::string message;
    EXPECT_EQ(Outcome::other, RunLibrary([&] { obj::TransformObjFile(path, out, m); }, &message));
    EXPECT_NE(message.find("carries this vertex to an infinite position"), std::string::npos)
        << message;
    EXPECT_EQ(ReadBytes(out), "earlier");
    ObjDocument doc;
    ASSERT_TRUE(doc.Load(path));
    doc.transform = m;
    std::string document_message;
    EXPECT_EQ(Outcome::other, RunLibrary([&] { doc.ToString(); }, &document_message));
    EXPECT_EQ(document_message, message);
    return;
  }
  ASSERT_NO_THROW(obj::TransformObjFile(path, out, m));
  EXPECT_TRUE(SameText(WithPlatformLineEnds(expected), ReadBytes(out))) << "TransformObjFile";
  if (with_document) {
    ObjDocument doc;
    ASSERT_TRUE(doc.Load(path));
    doc.transform = m;
    EXPECT_TRUE(SameText(expected, doc.ToString())) << "ObjDocument::ToString";
  }
}

void ExpectVerticesMatchBaseline(const std::string& path) {
  const std::vector<Vector3> expected = baseline::VerticesStraightforward(path);
  std::vector<Vector3> streamed;
  ASSERT_NO_THROW(obj::LoadObjVertices(path, streamed));
  EXPECT_TRUE(SameVertices(expected, streamed)) << "LoadObjVertices";
  ObjDocument doc;
  ASSERT_TRUE(doc.Load(path));
  EXPECT_TRUE(SameVertices(expected, doc.vertices)) << "ObjDocument::Load";
}

TEST(BaselineDiff, GeneratedMeshesUnderEveryMotion) {
  ScratchDir dir;
  struct Mesh {
    std::uint64_t vertices;
    std::uint64_t seed;
    bool uvs;
    bool normals;
  };
  const Mesh meshes[] = {{1000, 1, true, true},
                         {1000, 77, false, true},
                         {25000, 2024, true, false},
                         {60000, 5, false, false},
                         {200000, 90210, true, true}};
  for (const Mesh& mesh : meshes) {
    cli::MeshOptions options;
    options.vertices = mesh.vertices;
    options.seed = mesh.seed;
    options.uvs = mesh.uvs;
    options.normals = mesh.normals;
    // Placed somewhere other than the origin, as real scans are.
    const std::string path = dir / "target.obj";
    ASSERT_TRUE(cli::WriteSurfaceObj(path, options, Similarity(mesh.seed, 50.0)));
    SCOPED_TRACE(::testing::Message() << mesh.vertices << " vertices, seed " << mesh.seed);
    ExpectVerticesMatchBaseline(path);
    for (const NamedMatrix& motion : Motions()) {
      SCOPED_TRACE(motion.name);
      ExpectAllMatchBaseline(dir, path, motion.m, mesh.vertices <= 60000);
    }
  }
}

// Line-end conventions and an unterminated last line, on real exporter text.
TEST(BaselineDiff, GeneratedMeshLineEndVariants) {
  ScratchDir dir;
  cli::MeshOptions options;
  options.vertices = 3000;
  options.seed = 3;
  const std::string lf = cli::SurfaceObj(options, IdentityMatrix4());
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string mixed = crlf;
  for (std::size_t i = 0; i < mixed.size(); i += 97) {
    const std::size_t cr = mixed.find("\r\n", i);
    if (cr == std::string::npos) break;
    mixed.erase(cr, 1);
    i = cr;
  }
  const struct {
    const char* name;
    std::string text;
  } variants[] = {
      {"LF", lf},
      {"LF, no final line end", lf.substr(0, lf.size() - 1)},
      {"CR LF", crlf},
      {"CR LF, no final line end", crlf.substr(0, crlf.size() - 2)},
      {"CR LF, cut between CR and LF", crlf.substr(0, crlf.size() - 1)},
      {"mixed LF and CR LF", mixed},
      {"extra blank lines at the end", lf + "\n\r\n\n"},
  };
  const std::string path = dir / "target.obj";
  for (const auto& v : variants) {
    SCOPED_TRACE(v.name);
    WriteBytes(path, v.text);
    ExpectVerticesMatchBaseline(path);
    for (const NamedMatrix& motion : Motions()) {
      SCOPED_TRACE(motion.name);
      ExpectAllMatchBaseline(dir, path, motion.m);
    }
  }
}

struct Awkward {
  const char* name;
  std::string text;
};

std::vector<Awkward> AwkwardFiles() {
  using namespace std::string_literals;
  return {
      {"empty file", ""},
      {"only line ends", "\n\r\n\n"},
      {"lone carriage return", "\r"},
      {"extra spaces", "  v   1.5  -2.25   3  \nv  1 2 3   \n   \n g  body   part \n"},
      {"comments", "# v 1 2 3\n#v 1 2 3\n v 4 5 6 # after a vertex\n#\n"},
      {"CR LF and no final newline", "v 1 2 3\r\nvn 0 0 1\r\nf 1//1 1//1 1//1"},
      {"carriage returns inside lines", "v 1 2 3\r\r\nf 1 2 3\r\r\ng a\rb\nv 4\r 5 6\n"},
      {"empty lines between records", "\n\nv 1 2 3\n\n\nv 4 5 6\n\n"},
      {"extra tokens after a vertex", "v 1 2 3 1.0\nv 1 2 3 0.5 0.25 0.125\nv 1 2 3 x y z w\n"},
      {"huge coordinates",
       "v 1e300 -1.7976931348623157e308 123456789012345678901234567890\n"
       "v 9007199254740993 -4.9e307 1.7976931348623157e308\n"},
      {"tiny coordinates",
       "v 1e-300 -2.2250738585072014e-308 4e-7\nv 5e-7 -5e-7 4.999999e-7\n"
       "v 0.0000005 0.0000015 0.0000025\nv -1e-9 1e-9 -0.0000004999\n"},
      {"negative zero", "v -0 -0.0 -0e10\nv -0.0000001 0 -0\nv 0 -0 0\n"},
      {"number spellings",
       "v +1 .5 5.\nv 1e3 1E-3 0x1p-2\nv 0X1.8P1 -0x.8 +0x10\nv 00012 -000.5 1e+0\n"},
      {"numbers followed by junk", "v 1.5abc 2,5 3e\nv 7x 1e5e5 0x\nv 1.2.3 -4- +5+\n"},
      {"infinities", "v inf -INF Infinity\nv 1e308 -1e308 1e308\n"},
      {"tabs and other white space", "v\t1 2 3\nv 1\t2 3 4\nv \t1 \v2 \f3\n\tv 1 2 3\n"},
      {"keyword lookalikes", "vt 1 2\nvn 0 0 1\nV 1 2 3\nvv 1 2 3\nv1 2 3\nvp 0.5\n"},
      {"NUL bytes", "v 1\0 2 3\ng a\0b\nv 4 5 6\0\0\n"s},
      {"high bytes", "g \xe9\x83\xa8\xe5\x93\x81\no \xff\xfe\nusemtl \x83t\x83@\n"},
  };
}

TEST(BaselineDiff, AwkwardFilesUnderEveryMotion) {
  ScratchDir dir;
  const std::string path = dir / "target.obj";
  for (const Awkward& a : AwkwardFiles()) {
    SCOPED_TRACE(a.name);
    WriteBytes(path, a.text);
    ExpectVerticesMatchBaseline(path);
    for (const NamedMatrix& motion : Motions()) {
      SCOPED_TRACE(motion.name);
      ExpectAllMatchBaseline(dir, path, motion.m);
    }
  }
}

// Coordinates across the whole double range and decimal texts longer than a
// double holds: both sides must read and print every one identically.
TEST(BaselineDiff, RandomNumberTexts) {
  ScratchDir dir;
  SplitMix rng(99);
  std::string text = "# random coordinates\n";
  char buf[64];
  for (int line = 0; line < 3000; ++line) {
    text += "v";
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t kind = rng.Next() % 4;
      if (kind == 0) {
        // Any normal double up to about 1e307 (larger ones the similarity
        // would carry out of range), printed so it reads back exactly.
        std::uint64_t bits = rng.Next();
        const std::uint64_t exponent = 1 + rng.Next() % 2042;
        bits = (bits & 0x800FFFFFFFFFFFFFULL) | (exponent << 52);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        std::snprintf(buf, sizeof buf, "%.17g", d);
      } else if (kind == 1) {
        // Close to a rounding boundary of the six printed decimals.
        const double d = (static_cast<double>(rng.Next() % 2000000) - 1000000.0) * 1e-6 + 5e-7;
        std::snprintf(buf, sizeof buf, "%.17g", d);
      } else if (kind == 2) {
        // More digits than a double carries.
        std::snprintf(buf, sizeof buf, "%s%llu.%llu%llu", rng.Next() % 2 ? "-" : "",
                      static_cast<unsigned long long>(rng.Next() % 100000),
                      static_cast<unsigned long long>(rng.Next()),
                      static_cast<unsigned long long>(rng.Next()));
      } else {
        std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(rng.Next() % 10),
                      1000.0 * rng.Symmetric());
      }
      text += ' ';
      text += buf;
    }
    text += '\n';
  }
  const std::string path = dir / "target.obj";
  WriteBytes(path, text);
  ExpectVerticesMatchBaseline(path);
  for (const NamedMatrix& motion : Motions()) {
    SCOPED_TRACE(motion.name);
    ExpectAllMatchBaseline(dir, path, motion.m);
  }
}

// Lines far longer than the reader's block, and line ends split across the
// block boundary: the cases a buffered reader gets wrong.
TEST(BaselineDiff, LongLinesAndBlockBoundaries) {
  ScratchDir dir;
  const std::string path = dir / "target.obj";
  const Matrix4 m = Similarity(21, 10.0);
  {
    std::string many = "v 1 2 3";
    for (int i = 0; i < 200000; ++i) many += " " + std::to_string(i % 7);
    WriteBytes(path, "# " + std::string(3u << 20, 'x') + "\nv 0.5 0.25 0.125\n" + many +
                         "\r\nf 1 2 3\n" + std::string(5u << 20, 'y'));
    SCOPED_TRACE("lines of several megabytes");
    ExpectVerticesMatchBaseline(path);
    ExpectAllMatchBaseline(dir, path, m);
  }
  const std::size_t block = std::size_t{1} << 20;
  const std::string vertex = "v 1.25 -2.5 3.75\r\n";
  for (const std::size_t boundary : {block, 2 * block}) {
    // Shifting the padding walks every byte of the vertex lines, CR and LF
    // included, across the boundary.
    for (std::size_t shift = 0; shift < 2 * vertex.size(); ++shift) {
      const std::size_t padding = boundary - 4 - shift;
      std::string text = "#" + std::string(padding - 1, 'p') + "\r\n";
      for (int i = 0; i < 4; ++i) text += vertex;
      WriteBytes(path, text);
      SCOPED_TRACE(::testing::Message() << "boundary " << boundary << ", shift " << shift);
      ExpectVerticesMatchBaseline(path);
      ExpectAllMatchBaseline(dir, path, m, false);
    }
    // The file itself ends at, just before and just after the boundary.
    for (const std::size_t size : {boundary - 1, boundary, boundary + 1}) {
      for (const char* tail : {"v 1 2 3\r", "v 1 2 3\n", "v 1 2 3\r\n", "v 1 2 3 "}) {
        const std::string t = tail;
        std::string text = "#" + std::string(size - t.size() - 2, 'q') + "\n" + t;
        WriteBytes(path, text);
        SCOPED_TRACE(::testing::Message() << "file size " << size << ", tail " << Show(t));
        ExpectVerticesMatchBaseline(path);
        ExpectAllMatchBaseline(dir, path, m, false);
      }
    }
  }
}

// A vertex line the baseline cannot convert stops every reader with the same
// kind of error, naming its line.
TEST(BaselineDiff, BadCoordinatesFailAlike) {
  ScratchDir dir;
  const std::string path = dir / "target.obj";
  const std::string out = dir / "applied.obj";
  const char* bad_lines[] = {
      "v",
      "v 1 2",
      "v 1",
      "v a 2 3",
      "v 1 b 3",
      "v 1 2 c",
      "v 1e400 0 0",
      "v 0 -1e400 0",
      "v 1e-400 0 0",
      "v 1 2 1e-310",
      "v 0x1p-1070 0 0",
      "v 0x1p-1022 0 0",
      "v 4.9e-324 0 0",
      "v nan 0 0",
      "v 1e999 x 0",
      "v x 1e999 0",
      "v 2.2250738585072011e-308 0 0",
      "v 1 2 \t",
  };
  for (const char* bad : bad_lines) {
    SCOPED_TRACE(bad);
    WriteBytes(path, "v 1 2 3\n# before\n" + std::string(bad) + "\r\nv 4 5 6\n");
    const Outcome expected =
        RunBaseline([&] { baseline::ApplyStraightforward(path, IdentityMatrix4()); });
    EXPECT_EQ(expected, RunBaseline([&] { baseline::VerticesStraightforward(path); }));
    WriteBytes(out, "previous result");
    std::string message;
    const Outcome transformed =
        RunLibrary([&] { obj::TransformObjFile(path, out, IdentityMatrix4()); }, &message);
    EXPECT_STREQ(Name(expected), Name(transformed)) << "TransformObjFile";
    std::vector<Vector3> v;
    EXPECT_STREQ(Name(expected), Name(RunLibrary([&] { obj::LoadObjVertices(path, v); })))
        << "LoadObjVertices";
    ObjDocument doc;
    EXPECT_STREQ(Name(expected), Name(RunLibrary([&] { doc.Load(path); }))) << "ObjDocument::Load";
    if (expected == Outcome::ok) {
      ExpectAllMatchBaseline(dir, path, IdentityMatrix4());
    } else {
      EXPECT_NE(message.find(" line 3: "), std::string::npos) << message;
      EXPECT_EQ("previous result", ReadBytes(out))
          << "a refused replay must leave the output alone";
    }
  }
}

// Matrix files as people and programs write them, read by both readers, with
// and without inversion; then a replay end to end from the file.
TEST(BaselineDiff, MatrixFiles) {
  ScratchDir dir;
  const Matrix4 s = Similarity(31, 100.0);
  const std::string written = FormatMatrixText(s, "\n");
  std::string crlf;
  for (const char c : written) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    const char* name;
    std::string text;
  } files[] = {
      {"as written", written},
      {"CR LF", crlf},
      {"no final line end", written.substr(0, written.size() - 1)},
      {"extra spaces and numbers",
       "  2 0  0   5 9 9\n0 2 0 -6  \n 0 0 2 7 8\n0 0 0 1\nignored line 1 2\n"},
      {"short rows and lines", "0 1\n-1 0 0 3\n"},
      {"empty first line", "\n0 3 0 2\n0 0 3 1\n"},
      {"bottom row ignored", "1 0 0 4\n0 1 0 5\n0 0 1 6\n7 8 9 10\n"},
      {"number spellings", "1e0 0x0 -0 1.5e2\n0 +1. 0 .25\n0 0 1 -0x1p4\n"},
      {"junk after numbers", "2abc 0 0 1,5\n0 2 0 0\n0 0 2 0\n"},
  };
  cli::MeshOptions options;
  options.vertices = 2000;
  const std::string target = dir / "target.obj";
  ASSERT_TRUE(cli::WriteSurfaceObj(target, options, IdentityMatrix4()));
  const std::string path = dir / "motion.matrix";
  for (const auto& f : files) {
    for (const bool inverse : {false, true}) {
      SCOPED_TRACE(::testing::Message() << f.name << (inverse ? ", inverse" : ""));
      WriteBytes(path, f.text);
      const Eigen::Affine3d expected = baseline::MatrixStraightforward(path, inverse);
      std::optional<Matrix4> loaded;
      try {
        loaded = LoadMotion(path, inverse);
      } catch (const Error& e) {
        FAIL() << platform::ToUtf8(e.message());
      }
      ASSERT_TRUE(loaded.has_value());
      // Row 3 is not part of the motion; every other coefficient must agree
      // to the bit: a zero's sign shows in the printed coordinates.
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j) {
          EXPECT_EQ(Bits(expected.matrix()(i, j)), Bits(loaded->matrix()(i, j)))
              << "row " << i << " column " << j << ": " << expected.matrix()(i, j) << " vs "
              << loaded->matrix()(i, j);
        }
      }
      const std::string applied = dir / "applied.obj";
      ASSERT_NO_THROW(obj::TransformObjFile(target, applied, *loaded));
      EXPECT_TRUE(SameText(WithPlatformLineEnds(baseline::ApplyStraightforward(target, expected)),
                           ReadBytes(applied)));
    }
  }
}

}  // namespace
}  // namespace korvane
