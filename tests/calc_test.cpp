// Measuring a motion from base.obj and transformed.obj in a working directory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "api/mesh_commands.h"
#include "farthest_points.h"
#include "fit_meshes.h"
#include "matrix/fit_report.h"
#include "matrix/matrix_file.h"
#include "split_mix.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::FakePlatform;
using testing::Invoke;
using testing::ReadFile;
using testing::ScratchDir;
using testing::SetWorkDir;
using testing::WriteFile;

std::string Obj(std::initializer_list<Vector3> vs) {
  std::string s = "# mesh\n";
  for (const Vector3& v : vs) {
    s += "v " + std::to_string(v.x()) + " " + std::to_string(v.y()) + " " + std::to_string(v.z()) +
         "\n";
  }
  return s + "f 1 2 3\n";
}

class CalcMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override { SetWorkDir(dir_.path()); }
  Matrix4 Active() { return ActiveIn(dir_); }
  static Matrix4 ActiveIn(const ScratchDir& d) {
    std::string text;
    EXPECT_NO_THROW(text = ReadMatrixFile(d / "active.matrix"));
    return ParseMatrixText(text);
  }
  ScratchDir dir_;
  FakePlatform fake_;
};

TEST_F(CalcMatrixTest, SameTopologyUsesTheBaseIndicesForBoth) {
  WriteFile(dir_ / "base.obj", Obj({{0, 0, 0}, {4, 0, 0}, {0, 3, 0}}));
  WriteFile(dir_ / "transformed.obj", Obj({{10, 20, 30}, {10, 28, 30}, {4, 20, 30}}));
  ASSERT_TRUE(Invoke("CalcMatrix"));
  EXPECT_EQ(fake_.console, std::vector<std::string>{"same topology"});
  Eigen::Matrix4d expected;
  expected << 0, -2, 0, 10, 2, 0, 0, 20, 0, 0, 2, 30, 0, 0, 0, 1;
  EXPECT_LT((Active().matrix() - expected).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_EQ(ReadFile(dir_ / "active.matrix").back(), '\n');
  EXPECT_EQ(dir_.Entries(),
            (std::vector<std::string>{"active.matrix", "base.obj", "transformed.obj"}));
}

// A UTF-8 byte-order mark is no part of the first line: its vertex counts.
TEST_F(CalcMatrixTest, ByteOrderMarksAreReadPast) {
  WriteFile(dir_ / "base.obj", "\xEF\xBB\xBFv 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteFile(dir_ / "transformed.obj", "\xEF\xBB\xBFv 10 20 30\nv 10 28 30\nv 4 20 30\n");
  ASSERT_TRUE(Invoke("CalcMatrix"));
  EXPECT_EQ(fake_.console, std::vector<std::string>{"same topology"});
  Eigen::Matrix4d expected;
  expected << 0, -2, 0, 10, 2, 0, 0, 20, 0, 0, 2, 30, 0, 0, 0, 1;
  EXPECT_LT((Active().matrix() - expected).cwiseAbs().maxCoeff(), 1e-14);
}

TEST_F(CalcMatrixTest, DifferentTopologyAnalysesEachMesh) {
  // The moved mesh lists its vertices in another order and has one more.
  WriteFile(dir_ / "base.obj", Obj({{0, 0, 0}, {1, 0, 0}, {4, 0, 0}, {0, 3, 0}}));
  WriteFile(dir_ / "transformed.obj",
            Obj({{4, 20, 30}, {10, 21, 30}, {10, 20, 30}, {10, 28, 30}, {10, 20.5, 30}}));
  ASSERT_TRUE(Invoke("CalcMatrix"));
  EXPECT_EQ(fake_.console, std::vector<std::string>{"different topology"});
  // Exhaustive rule: base A=2 (4,0,0)... pairs by the first greatest distance.
  const Matrix4 m = Active();
  EXPECT_TRUE(m.matrix().allFinite());
  EXPECT_TRUE(fake_.boxes.empty());
}

TEST_F(CalcMatrixTest, RefusalsLeaveActiveMatrixUntouched) {
  struct Case {
    std::string base, moved;
    const char* text;  // part of the box text
  } cases[] = {
      {Obj({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}), Obj({{1, 1, 1}, {2, 2, 2}, {1, 0, 1}}),
       "AnalyzeAffineMatrix"},
      {Obj({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}), Obj({{0, 0, 0}, {1, 0, 0}}), "AnalyzeAffineMatrix"},
      {"", "", "AnalyzeAffineMatrix"},
      {Obj({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), Obj({{0, 0, 0}, {0, 0, 0}, {0, 1, 0}}), "coincide"},
      {"v 1 2 3\nv 1 2 oops\n", Obj({{0, 0, 0}}), "line 2: invalid stod argument"},
      {Obj({{0, 0, 0}}),
       std::string("\xFF\xFEv\0 \0"
                   "1\0",
                   8),
       "transformed.obj: the file is UTF-16"},
  };
  for (const Case& c : cases) {
    WriteFile(dir_ / "active.matrix", "earlier");
    WriteFile(dir_ / "base.obj", c.base);
    WriteFile(dir_ / "transformed.obj", c.moved);
    fake_.boxes.clear();
    EXPECT_FALSE(Invoke("CalcMatrix"));
    ASSERT_EQ(fake_.boxes.size(), 1u) << c.base;
    EXPECT_EQ(fake_.boxes[0].caption, "CalcMatrix");
    EXPECT_NE(fake_.boxes[0].text.find(c.text), std::string::npos) << fake_.boxes[0].text;
    EXPECT_EQ(ReadFile(dir_ / "active.matrix"), "earlier");
    EXPECT_EQ(dir_.Entries().size(), 3u);
  }
}

TEST_F(CalcMatrixTest, MissingMeshesAreReportedThenRefused) {
  WriteFile(dir_ / "active.matrix", "earlier");
  EXPECT_FALSE(Invoke("CalcMatrix"));
  ASSERT_EQ(fake_.boxes.size(), 3u);
  EXPECT_EQ(fake_.boxes[0].caption, "ファイルオープン失敗");
  EXPECT_EQ(fake_.boxes[0].text, dir_ / "base.obj");
  EXPECT_EQ(fake_.boxes[1].text, dir_ / "transformed.obj");
  EXPECT_EQ(fake_.boxes[2].text,
            "CalcFarthestPoint() が呼ばれていないオブジェクトに対して AnalyzeAffineMatrix "
            "が呼ばれました");
  EXPECT_EQ(fake_.console, std::vector<std::string>{"same topology"});
  EXPECT_EQ(ReadFile(dir_ / "active.matrix"), "earlier");
}

TEST_F(CalcMatrixTest, FollowsTheWorkingDirectory) {
  ScratchDir second;
  for (const ScratchDir* d : {&dir_, &second}) {
    WriteFile(*d / "base.obj", Obj({{0, 0, 0}, {4, 0, 0}, {0, 3, 0}}));
  }
  WriteFile(dir_ / "transformed.obj", Obj({{1, 0, 0}, {5, 0, 0}, {1, 3, 0}}));
  WriteFile(second / "transformed.obj", Obj({{0, 0, 7}, {4, 0, 7}, {0, 3, 7}}));
  ASSERT_TRUE(Invoke("CalcMatrix"));
  SetWorkDir(second.path());
  ASSERT_TRUE(Invoke("CalcMatrix"));
  EXPECT_EQ(Active().translation(), Vector3(1, 0, 0));
  EXPECT_EQ(ActiveIn(second).translation(), Vector3(0, 0, 7));
}

std::uint64_t Bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

std::string ExactObj(const std::vector<Vector3>& v) {
  std::string s;
  char line[96];
  for (const Vector3& p : v) {
    std::snprintf(line, sizeof line, "v %.17g %.17g %.17g\n", p.x(), p.y(), p.z());
    s += line;
  }
  return s;
}

// CalcMatrix and `korvane calc --fit three-point` measure by one rule: on
// generated meshes and on the reference-vertex fuzzer's hostile point sets
// (NaN, infinities, ties, subnormals), both give the same matrix to the bit,
// and what the rule itself refuses both refuse.
TEST_F(CalcMatrixTest, SameMatrixAsTheThreePointFit) {
  std::vector<std::vector<Vector3>> sets;
  for (std::uint64_t seed = 1; seed <= 8; ++seed)
    sets.push_back(testing::GeneratedMesh(100 + 37 * seed, seed).vertices);
  std::vector<std::filesystem::path> corpus;
  for (const auto& f :
       std::filesystem::directory_iterator(KORVANE_TEST_DATA "/../fuzz/corpus/farthest"))
    corpus.push_back(f.path());
  std::sort(corpus.begin(), corpus.end());
  for (const auto& f : corpus) {
    const std::string bytes = ReadFile(f.string());
    sets.push_back(
        fuzz::DecodePoints(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  testing::SplitMix rng(5);
  geometry::FitOptions three_point;
  three_point.kind = geometry::FitKind::three_point;
  int compared = 0, refused = 0;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    std::vector<Vector3> moved = sets[i];
    const Matrix4 motion = testing::RandomSimilarity(rng, 10.0);
    for (Vector3& p : moved) p = geometry::TransformPoint(motion, p);
    for (const std::vector<Vector3>* other : {&moved, &sets[(i + 1) % sets.size()]}) {
      WriteFile(dir_ / "base.obj", ExactObj(sets[i]));
      WriteFile(dir_ / "transformed.obj", ExactObj(*other));
      std::optional<Matrix4> dll;
      try {
        dll = api::MeasureFiles(dir_ / "base.obj", dir_ / "transformed.obj", "active.matrix")
                  .motion.matrix;
      } catch (const Error&) {
      }
      obj::Mesh base, target;
      try {
        obj::LoadObjMesh(dir_ / "base.obj", base);
        obj::LoadObjMesh(dir_ / "transformed.obj", target);
      } catch (const Error&) {
        // Subnormal coordinates do not read back (stod's range error): neither measures.
        EXPECT_FALSE(dll.has_value()) << "set " << i;
        continue;
      }
      try {
        const matrix::FitReport fit = matrix::MeasureFit(base, target, three_point);
        ASSERT_TRUE(dll.has_value()) << "set " << i << ": only the fit measured it";
        for (int k = 0; k < 16; ++k) {
          EXPECT_EQ(Bits(dll->data()[k]), Bits(fit.matrix.data()[k])) << "set " << i;
        }
        ++compared;
      } catch (const Error& e) {
        using R = text::Reason;
        const bool by_the_rule = e.refusal() && (e.refusal()->reason == R::no_reference_triangle ||
                                                 e.refusal()->reason == R::base_ab_coincide ||
                                                 e.refusal()->reason == R::moved_ab_coincide ||
                                                 e.refusal()->reason == R::base_on_one_line ||
                                                 e.refusal()->reason == R::moved_on_one_line ||
                                                 e.refusal()->reason == R::result_not_finite);
        if (by_the_rule) {
          EXPECT_FALSE(dll.has_value()) << "set " << i << ": only CalcMatrix measured it";
          ++refused;
        }
      }
    }
  }
  EXPECT_GT(compared, 50);
  EXPECT_GT(refused, 3);
}

}  // namespace
}  // namespace korvane
