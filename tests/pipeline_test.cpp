// The C++ interface as a pipeline uses it: linked against the real
// libKorvane.so, through korvane/korvane.hpp only, on real files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "korvane/korvane.hpp"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

// Vertex coordinates of an OBJ file, in order.
std::vector<double> Coordinates(const std::string& path) {
  std::ifstream in(path);
  std::vector<double> out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("v ", 0) != 0) continue;
    std::istringstream fields(line.substr(2));
    for (double v; fields >> v;) out.push_back(v);
  }
  return out;
}

// Six decimals are written: the same positions to within rounding.
void ExpectSameVertices(const std::string& got, const std::string& want) {
  const std::vector<double> a = Coordinates(got), b = Coordinates(want);
  ASSERT_EQ(a.size(), b.size()) << got;
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 3e-6) << got << " #" << i;
}

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvane-pipeline-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string At(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// 30 degrees about z, scale 2, shift (1, 2, 3), as a matrix and on a point.
const double kC = std::cos(std::acos(-1.0) / 6), kS = std::sin(std::acos(-1.0) / 6);
const korvane::Matrix4x4 kMotion = {
    {{2 * kC, -2 * kS, 0, 1}, {2 * kS, 2 * kC, 0, 2}, {0, 0, 2, 3}, {0, 0, 0, 1}}};

std::string Moved(double x, double y, double z) {
  char line[128];
  std::snprintf(line, sizeof line, "v %.6f %.6f %.6f\n", 2 * (kC * x - kS * y) + 1,
                2 * (kS * x + kC * y) + 2, 2 * z + 3);
  return line;
}

TEST_F(Pipeline, MeasuresReplaysAndUndoesAMotion) {
  const double points[][3] = {{0, 0, 0}, {4, 0, 0}, {0, 3, 0}, {1, 1, 2}, {-2, 1, -1}};
  std::string base = "# a tetrahedron and one more\n";
  std::string moved = base;
  for (const auto& p : points) {
    base += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) +
            "\n";
    moved += Moved(p[0], p[1], p[2]);
  }
  base += "f 1 2 3\n";
  moved += "f 1 2 3\n";
  Write(dir_ / "base.obj", base);
  Write(dir_ / "moved.obj", moved);

  const korvane::MotionReport r = korvane::MeasureMotion(At("base.obj"), At("moved.obj"));
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(r.matrix[i][j], kMotion[i][j], 1e-6) << i << j;
  }
  EXPECT_NEAR(r.scale, 2.0, 1e-6);
  EXPECT_NEAR(r.rotation_degrees, 30.0, 1e-4);
  EXPECT_NEAR(r.rotation_axis[2], 1.0, 1e-6);
  EXPECT_NEAR(r.translation[0], 1.0, 1e-6);
  EXPECT_NEAR(r.translation[2], 3.0, 1e-6);
  EXPECT_TRUE(r.same_topology);
  EXPECT_TRUE(r.fits) << r.message;
  EXPECT_EQ(r.paired.count, 5u);
  EXPECT_LT(r.surface.p95_relative, 1e-5);
  // The other fits find the same motion; least squares refuses unequal counts.
  for (const korvane::Fit fit : {korvane::Fit::least_squares, korvane::Fit::icp}) {
    korvane::MeasureOptions o;
    o.fit = fit;
    const korvane::MotionReport f = korvane::MeasureMotion(At("base.obj"), At("moved.obj"), o);
    EXPECT_TRUE(f.fits) << f.message;
    EXPECT_NEAR(f.scale, 2.0, 1e-5);
  }
  EXPECT_EQ(r.base_vertices, 5u);
  EXPECT_EQ(r.moved_vertices, 5u);
  for (std::size_t k = 0; k < 3; ++k) {
    // Same topology: the moved mesh's reference vertices are the base's, moved.
    const std::size_t i = r.base_reference[k].index;
    ASSERT_LT(i, 5u);
    EXPECT_EQ(r.moved_reference[k].index, i);
    EXPECT_EQ(r.base_reference[k].position[0], points[i][0]);
  }

  korvane::WriteMatrixFile(At("m.matrix"), r.matrix);
  const korvane::Matrix4x4 read = korvane::ReadMatrixFile(At("m.matrix"));
  EXPECT_NEAR(read[0][1], r.matrix[0][1], 1e-14);

  EXPECT_EQ(korvane::ReplayMotion(read, At("base.obj"), At("replayed.obj")).vertices, 5u);
  ExpectSameVertices(At("replayed.obj"), At("moved.obj"));
  korvane::ReplayMotion(korvane::InverseMotion(r.matrix), At("replayed.obj"), At("back.obj"));
  ExpectSameVertices(At("back.obj"), At("base.obj"));
  EXPECT_EQ(Read(dir_ / "back.obj").substr(0, 30), "# a tetrahedron and one more \n");
}

// The streaming replay writes exactly what the file replay writes, across
// buffer boundaries, a line longer than the buffer and CR LF line ends.
TEST_F(Pipeline, StreamReplayEqualsFileReplay) {
  std::string text;
  std::uint64_t lines = 0, tab_line = 0, comma_line = 0;
  const auto add = [&](const std::string& line) {
    text += line;
    ++lines;
  };
  for (int i = 0; i < 60000; ++i) {
    add("v " + std::to_string(i) + ".25 -1e-3 " + std::to_string(i % 7) + (i % 3 ? "\n" : "\r\n"));
    if (i % 1000 == 0) add("vt 0.5 0.5\n"), add("f 1/1 2/2 3/3\n");
    if (i == 30000) add("# " + std::string(3 << 20, 'x') + "\n");
    // Warnings past the long line, where threads replay the blocks: their lines still count.
    if (i == 40000 || i == 50000) add("v\t1\t2\t3\n"), tab_line = tab_line ? tab_line : lines;
    if (i == 45000) add("v 1,5 2 3\n"), comma_line = lines;
  }
  text += "v 1 2 3";  // no line feed at the end
  Write(dir_ / "in.obj", text);
  const korvane::ReplayReport by_file = korvane::ReplayMotion(kMotion, At("in.obj"), At("out.obj"));
  std::istringstream in(text);
  std::ostringstream out;
  const korvane::ReplayReport by_stream = korvane::ReplayMotion(kMotion, in, out, "in.obj");
  EXPECT_EQ(by_file.vertices, 60002u);
  EXPECT_EQ(by_stream.vertices, by_file.vertices);
  EXPECT_TRUE(out.str() == Read(dir_ / "out.obj")) << "the two replays differ";
  for (const korvane::ReplayReport* r : {&by_file, &by_stream}) {
    ASSERT_EQ(r->warnings.size(), 2u);
    EXPECT_EQ(r->warnings[0].kind, "not_a_vertex_line");
    EXPECT_EQ(r->warnings[0].count, 2u);
    EXPECT_EQ(r->warnings[0].line, tab_line);
    EXPECT_EQ(r->warnings[1].kind, "trailing_text");
    EXPECT_EQ(r->warnings[1].line, comma_line);
  }
  korvane::ReplayOptions strict;
  strict.strict = true;
  try {
    korvane::ReplayMotion(kMotion, At("in.obj"), At("strict.obj"), strict);
    ADD_FAILURE() << "a strict replay wrote a file with warnings";
  } catch (const korvane::Failure& f) {
    EXPECT_EQ(f.kind(), korvane::ErrorKind::refused);
    EXPECT_EQ(f.line(), tab_line);
  }
  EXPECT_FALSE(fs::exists(dir_ / "strict.obj"));
}

TEST_F(Pipeline, FailuresNameTheFileAndLine) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "v 1 2 3\n";
  deep += "v 1 2 oops\n";
  Write(dir_ / "deep.obj", deep);
  Write(dir_ / "bad.matrix", "1 0 0 0\n0 1 0 1e999\n");
  Write(dir_ / "line.obj", "v 0 0 0\nv 1 0 0\nv 2 0 0\n");
  Write(dir_ / "ok.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
  const korvane::Matrix4x4 flat = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}}};
  korvane::Matrix4x4 nan = kMotion;
  nan[1][1] = NAN;
  korvane::Matrix4x4 huge = {{{1e50, 0, 0, 0}, {0, 1e50, 0, 0}, {0, 0, 1e50, 0}, {0, 0, 0, 1}}};
  Write(dir_ / "far.obj", "v 0 0 0\nv 1e300 0 0\n");
  korvane::Matrix4x4 projective = kMotion, tiny = huge;
  projective[3][1] = 0.5;
  for (std::size_t i = 0; i < 3; ++i) tiny[i][i] = 1e-300;
  Write(dir_ / "ro.obj", "v 0 0 0\n");
  fs::permissions(dir_ / "ro.obj", fs::perms::owner_read);
  double point[3] = {1, 2, 3};

  const struct {
    const char* what;
    std::function<void()> run;
    std::string file;
    std::uint64_t line;
    std::string says;
  } cases[] = {
      {"deep bad number", [&] { korvane::ReplayMotion(kMotion, At("deep.obj"), At("o.obj")); },
       At("deep.obj"), 200001, "line 200001: 'oops' is not a number"},
      {"deep bad number in a stream",
       [&] {
         std::istringstream in(deep);
         std::ostringstream out;
         korvane::ReplayMotion(kMotion, in, out, "piped.obj");
       },
       "piped.obj", 200001, "piped.obj line 200001: 'oops' is not a number"},
      {"missing input", [&] { korvane::ReplayMotion(kMotion, At("none.obj"), At("o.obj")); },
       At("none.obj"), 0, "cannot open " + At("none.obj")},
      {"unwritable output",
       [&] { korvane::ReplayMotion(kMotion, At("ok.obj"), At("no/such/dir/o.obj")); }, "", 0,
       At("no/such/dir/o.obj")},
      {"bad matrix file", [&] { korvane::ReadMatrixFile(At("bad.matrix")); }, At("bad.matrix"), 2,
       "line 2: '1e999' is beyond the range of numbers"},
      {"missing base", [&] { korvane::MeasureMotion(At("none.obj"), At("ok.obj")); },
       At("none.obj"), 0, "cannot open"},
      {"collapsed copy", [&] { korvane::MeasureMotion(At("ok.obj"), At("line.obj")); }, "", 0, ""},
      {"singular inverse", [&] { korvane::InverseMotion(flat); }, "", 0, "is singular"},
      {"projective motion", [&] { korvane::TransformPoints(projective, point, point, 1); }, "", 0,
       "the bottom row is not 0 0 0 1"},
      {"scale out of range", [&] { korvane::WriteMatrixFile(At("tiny.matrix"), tiny); },
       At("tiny.matrix"), 0, "outside 1e-100 to 1e100"},
      {"read-only output", [&] { korvane::ReplayMotion(kMotion, At("ok.obj"), At("ro.obj")); },
       At("ro.obj"), 0, "is read-only"},
      {"output is the input", [&] { korvane::ReplayMotion(kMotion, At("ok.obj"), At("ok.obj")); },
       At("ok.obj"), 0, "is the same file as the input"},
      {"not finite", [&] { korvane::ReplayMotion(nan, At("ok.obj"), At("o.obj")); }, "", 0,
       "not finite"},
      {"vertex carried to infinity",
       [&] { korvane::ReplayMotion(huge, At("far.obj"), At("o.obj")); }, At("far.obj"), 2,
       "far.obj line 2: "},
  };
  for (const auto& c : cases) {
    try {
      c.run();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const korvane::Failure& f) {
      EXPECT_EQ(f.file(), c.file) << c.what << ": " << f.what();
      EXPECT_EQ(f.line(), c.line) << c.what << ": " << f.what();
      EXPECT_NE(std::string(f.what()).find(c.says), std::string::npos)
          << c.what << ": " << f.what();
      EXPECT_GT(std::string(f.what()).size(), 0u) << c.what;
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "o.obj")) << "nothing written by a failed replay";
}

// LoadMotion and ReadMatrixFile read as korvane apply does: a file that is not
// four lines of four numbers, a transposed one and a flattening one are
// refused with the file, the line and the kind.
TEST_F(Pipeline, MatrixFilesAreReadStrictly) {
  const struct {
    std::string text;
    std::uint64_t line;
    korvane::ErrorKind kind;
    const char* says;
  } cases[] = {
      {"1 0 0 5 0 1 0 0 0 0 1 0 0 0 0 1\n", 1, korvane::ErrorKind::refused, "16 numbers"},
      {"1 0 0 5\n", 2, korvane::ErrorKind::refused, "the file ends before this line"},
      {"1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n# moved\n", 5, korvane::ErrorKind::refused,
       "text after"},
      {"1 0 0 0\n0 1 0 x\n0 0 1 0\n0 0 0 1\n", 2, korvane::ErrorKind::invalid_number,
       "'x' is not a number"},
      {"1 0 0 0\n0 1 0 0\n0 0 1 0\n1 2 3 1\n", 4, korvane::ErrorKind::refused, "transposed?"},
      {"0 0 0 1\n0 0 0 2\n0 0 0 3\n0 0 0 1\n", 0, korvane::ErrorKind::refused, "singular"},
  };
  for (const auto& c : cases) {
    Write(dir_ / "m.matrix", c.text);
    for (const bool load : {true, false}) {
      try {
        load ? korvane::LoadMotion(At("m.matrix")) : korvane::ReadMatrixFile(At("m.matrix"));
        ADD_FAILURE() << c.text << ": read";
      } catch (const korvane::Failure& f) {
        EXPECT_EQ(f.file(), At("m.matrix")) << f.what();
        EXPECT_EQ(f.line(), c.line) << f.what();
        EXPECT_EQ(f.kind(), c.kind) << f.what();
        EXPECT_NE(std::string(f.what()).find(c.says), std::string::npos) << f.what();
      }
    }
  }
}

}  // namespace

// Every host shows one report: the JSON's keys are the library's list, and
// each has its MotionReport field with the same value. A key added to the
// report without its field fails here.
TEST(Report, EveryKeyHasItsField) {
  // A regular octahedron in another order: ICP finds it, ambiguous, with alternatives.
  const double base[] = {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  const std::uint32_t faces[] = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4,
                                 2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};
  const int order[] = {3, 5, 0, 4, 1, 2};
  double moved[18];
  std::uint32_t moved_faces[24];
  for (int i = 0; i < 6; ++i)
    for (int k = 0; k < 3; ++k) moved[3 * i + k] = 2.0 * base[3 * order[i] + k] + 1.0;
  for (int t = 0; t < 24; ++t) {
    for (std::uint32_t i = 0; i < 6; ++i)
      if (order[i] == static_cast<int>(faces[t])) moved_faces[t] = i;
  }
  korvane::MeasureOptions o;
  o.fit = korvane::Fit::icp;
  o.trim = 0.2;
  const korvane::MotionReport r =
      korvane::MeasureMotion({base, 6, faces, 8}, {moved, 6, moved_faces, 8}, o);
  ASSERT_TRUE(r.ambiguous) << r.message;
  const nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.json);
  std::vector<std::string> keys;
  for (const auto& item : j.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, korvane::ReportKeys());

  using Check = std::function<bool(const nlohmann::ordered_json&)>;
  const auto near = [](double a, double b) {
    return std::fabs(a - b) <= 1e-12 * (1 + std::fabs(b));
  };
  const auto residual = [&](const nlohmann::ordered_json& v, const korvane::Residual& s) {
    return v["count"] == s.count && near(v["p95"], s.p95) &&
           near(v["relative"]["max"], s.max_relative);
  };
  const std::map<std::string, Check> fields = {
      {"fit", [&](auto& v) { return v == korvane::FitName(r.fit_used); }},
      {"motion", [&](auto& v) { return v == korvane::MotionName(r.motion); }},
      {"mirror", [&](auto& v) { return v == r.mirror; }},
      {"decomposition",
       [&](auto& v) {
         return v.is_null() ? r.decomposition.kind != "affine"
                            : near(v["stretches"][1], r.decomposition.stretches[1]) &&
                                  near(v["axes"][2][0], r.decomposition.stretch_axes[2][0]) &&
                                  near(v["shear"]["yz"], r.decomposition.shear[2]);
       }},
      {"tried", [&](auto& v) { return v.size() == r.tried.size(); }},
      {"topology", [&](auto& v) { return v == (r.same_topology ? "same" : "different"); }},
      {"matrix",
       [&](auto& v) { return near(v[0][3], r.matrix[0][3]) && near(v[2][1], r.matrix[2][1]); }},
      {"scale", [&](auto& v) { return near(v, r.scale); }},
      {"rotation",
       [&](auto& v) {
         return near(v["degrees"], r.rotation_degrees) && near(v["axis"][1], r.rotation_axis[1]);
       }},
      {"translation", [&](auto& v) { return near(v[2], r.translation[2]); }},
      {"reference_vertices", [&](auto& v) { return v.is_null() != r.has_reference; }},
      {"residual",
       [&](auto& v) {
         return residual(v["surface"], r.surface) && residual(v["paired"], r.paired);
       }},
      {"tolerance", [&](auto& v) { return near(v, r.tolerance); }},
      {"automatic",
       [&](auto& v) { return v["tolerance"] == r.tolerance_auto && v["trim"] == r.trim_auto; }},
      {"size", [&](auto& v) { return near(v, r.size); }},
      {"roughness",
       [&](auto& v) {
         return v.is_null() ? r.roughness_noise == 0.0
                            : near(v["relative"]["noise"], r.roughness_noise) &&
                                  near(v["relative"]["spacing"], r.roughness_spacing);
       }},
      {"fits", [&](auto& v) { return v == r.fits; }},
      {"ambiguous", [&](auto& v) { return v == r.ambiguous; }},
      {"loose", [&](auto& v) { return v == r.loose; }},
      {"alternatives",
       [&](auto& v) {
         return v.size() == r.alternatives.size() &&
                near(v[0]["matrix"][1][3], r.alternatives[0][1][3]);
       }},
      {"judged_share", [&](auto& v) { return near(v, r.judged_share); }},
      {"overlap", [&](auto& v) { return near(v, r.overlap); }},
      {"outliers",
       [&](auto& v) {
         return v["count"] == r.outliers && near(v["share"], r.outlier_share) &&
                near(v["max"], r.largest_outlier);
       }},
      {"cause", [&](auto& v) { return v.is_null() ? r.cause.empty() : v == r.cause; }},
      {"note", [&](auto& v) { return v.is_null() ? r.note.empty() : v == r.note; }},
      {"message", [&](auto& v) { return v == r.message; }},
      {"iterations", [&](auto& v) { return v == r.iterations; }},
      {"iteration_limit_reached", [&](auto& v) { return v == r.iteration_limit_reached; }},
  };
  for (const auto& [key, value] : j.items()) {
    const auto f = fields.find(key);
    ASSERT_NE(f, fields.end()) << "MotionReport has no field for \"" << key << "\"";
    EXPECT_TRUE(f->second(value)) << key << ": " << value.dump();
  }
  EXPECT_EQ(fields.size(), keys.size());
}

namespace {

// The C++ interface takes STL by path; a stream, which may only be OBJ, refuses it.
TEST_F(Pipeline, StlByPathAndNotAsAStream) {
  std::string stl = "solid t\n";
  const double corners[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1.5, 0}, {0.25, 0.125, 1}};
  const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {0, 3, 2}};
  for (const auto& f : faces) {
    stl += "facet normal 0 0 0\nouter loop\n";
    for (const int i : f) {
      stl += "vertex " + std::to_string(corners[i][0]) + " " + std::to_string(corners[i][1]) + " " +
             std::to_string(corners[i][2]) + "\n";
    }
    stl += "endloop\nendfacet\n";
  }
  Write(At("base.stl"), stl + "endsolid t\n");
  korvane::Matrix4x4 m{};
  m[0] = {0, -2, 0, 1};
  m[1] = {2, 0, 0, 2};
  m[2] = {0, 0, 2, 3};
  m[3] = {0, 0, 0, 1};
  const korvane::ReplayReport r = korvane::ReplayMotion(m, At("base.stl"), At("moved.stl"));
  EXPECT_EQ(r.vertices, 12u);
  const korvane::MotionReport found = korvane::MeasureMotion(At("base.stl"), At("moved.stl"));
  EXPECT_EQ(found.base_vertices, 4u);  // corners welded
  EXPECT_TRUE(found.fits);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(found.matrix[i][j], m[i][j], 1e-6);
  }
  std::istringstream in(Read(At("base.stl")));
  std::ostringstream out;
  try {
    korvane::ReplayMotion(m, in, out, "base.stl");
    ADD_FAILURE() << "an STL stream was replayed";
  } catch (const korvane::Failure& e) {
    EXPECT_EQ(e.kind(), korvane::ErrorKind::refused);
    EXPECT_NE(std::string(e.what()).find("ASCII STL"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
