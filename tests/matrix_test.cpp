// Matrix text files, and the replay commands from end to end on real files.
#include <sys/resource.h>

#include <clocale>
#include <cmath>
#include <csignal>
#include <fstream>
#include <locale>
#include <random>

#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "test_support.h"
#include "text/error.h"

#ifndef KORVANE_TEST_DATA
#error "KORVANE_TEST_DATA must name the tests directory"
#endif

namespace korvane {
namespace {

using testing::Exists;
using testing::FakePlatform;
using testing::Invoke;
using testing::ReadFile;
using testing::ScratchDir;
using testing::SetWorkDir;
using testing::WriteFile;

const std::string kGolden = std::string(KORVANE_TEST_DATA) + "/golden/";

Matrix4 Turn30() {
  Matrix4 m = IdentityMatrix4();
  m.matrix().topLeftCorner<2, 2>() << std::cos(kPi / 6), -0.5, 0.5, std::cos(kPi / 6);
  m.translation() = Vector3(10, -2.5, 0.125);
  return m;
}

TEST(MatrixText, GoldenFilesByteForByte) {
  EXPECT_EQ(FormatMatrixText(IdentityMatrix4()), ReadFile(kGolden + "identity.matrix"));
  EXPECT_EQ(FormatMatrixText(IdentityMatrix4(), "\r\n").size(), 36u);
  const std::string turn = FormatMatrixText(Turn30());
  EXPECT_EQ(turn, ReadFile(kGolden + "turn30.matrix"));
  EXPECT_EQ(turn.find('\n'), 71u);
}

TEST(MatrixText, CommonWidthAndNumberForms) {
  Matrix4 m = IdentityMatrix4();
  m.matrix()(0, 1) = -0.0;
  EXPECT_EQ(FormatMatrixText(m), " 1 -0  0  0\n 0  1  0  0\n 0  0  1  0\n 0  0  0  1\n");
  m.matrix()(0, 1) = 6.123233995736766e-17;
  const std::string t = FormatMatrixText(m);
  EXPECT_EQ(t.substr(0, t.find('\n')),
            "                   1 6.12323399573677e-17                    0                    0");
  m.matrix()(0, 1) = 1e15;
  m.matrix()(1, 0) = 123456789012345.0;
  m.matrix()(2, 0) = 0.0001;
  m.matrix()(2, 1) = 0.00001;
  const Matrix4 back = ParseMatrixText(FormatMatrixText(m));
  EXPECT_EQ(FormatMatrixText(back), FormatMatrixText(m));
  EXPECT_NE(FormatMatrixText(m).find("1e+15"), std::string::npos);
  EXPECT_NE(FormatMatrixText(m).find("123456789012345"), std::string::npos);
  EXPECT_NE(FormatMatrixText(m).find("1e-05"), std::string::npos);
  EXPECT_NE(FormatMatrixText(m).find("0.0001"), std::string::npos);
}

TEST(MatrixText, RoundTripIsStableAfterOneRead) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1e3, 1e3);
  for (int i = 0; i < 200; ++i) {
    Matrix4 m = IdentityMatrix4();
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) m.matrix()(r, c) = u(rng) * std::pow(10.0, (i % 7) - 3);
    const std::string once = FormatMatrixText(m);
    const Matrix4 back = ParseMatrixText(once);
    EXPECT_EQ(FormatMatrixText(back), once);
    EXPECT_TRUE(back.matrix().isApprox(m.matrix(), 1e-14));
  }
}

TEST(MatrixText, ParsingRules) {
  struct Case {
    const char* text;
    Eigen::Matrix4d expected;
  };
  const auto rows = [](std::initializer_list<double> v) {
    Eigen::Matrix4d m;
    auto it = v.begin();
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) m(r, c) = *it++;
    return m;
  };
  const Eigen::Matrix4d id = Eigen::Matrix4d::Identity();
  const Case cases[] = {
      {"", id},
      {"\n", id},
      {"2 0 0 7 99 98\n0 2 0 8\n0 0 2 9\n5 5 5 5\n1 1 1 1\n",
       rows({2, 0, 0, 7, 0, 2, 0, 8, 0, 0, 2, 9, 5, 5, 5, 5})},
      {"\n1 2 3 4\n5 6 7 8\n9 10 11 12\n13 14 15 16",
       rows({1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})},
      {"1\t2\t3\t4\n", rows({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})},
      {"   3    1.5abc\n", rows({3, 1.5, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})},
      {"1 0 0 4\r\n0 1 0 5\r\n", rows({1, 0, 0, 4, 0, 1, 0, 5, 0, 0, 1, 0, 0, 0, 0, 1})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseMatrixText(c.text).matrix(), c.expected) << c.text;
  }
  for (const char* bad : {"abc", "1 2 3 4\n1 2 - 4", "1 1e999"}) {
    EXPECT_THROW(ParseMatrixText(bad), Error) << bad;
  }
  try {
    ParseMatrixText("1 0 0 0\n0 1 0 0\n0 0 x 0\n", "m.matrix");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(platform::ToUtf8(e.message()), "m.matrix line 3: invalid stod argument");
  }
  const Matrix4 special = ParseMatrixText(FormatMatrixText([] {
    Matrix4 m = IdentityMatrix4();
    m.matrix()(0, 0) = INFINITY;
    m.matrix()(0, 1) = -INFINITY;
    return m;
  }()));
  EXPECT_EQ(special.matrix()(0, 0), INFINITY);
  EXPECT_EQ(special.matrix()(0, 1), -INFINITY);
}

// What the strict reading accepts, the lenient one reads the same; the
// singular test is relative, so a motion is judged alike at any size.
TEST(MatrixText, StrictReading) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1e3, 1e3);
  for (int i = 0; i < 100; ++i) {
    Matrix4 m = IdentityMatrix4();
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) m.matrix()(r, c) = u(rng) * std::pow(10.0, (i % 9) - 4);
    const std::string text = FormatMatrixText(m, i % 2 ? "\r\n" : "\n") + (i % 3 ? "" : "\n  \n");
    EXPECT_EQ(ParseMatrixTextStrict(text, "m").matrix(), ParseMatrixText(text).matrix()) << text;
  }
  const auto singular = [](const Eigen::Matrix3d& linear) {
    Matrix4 m = IdentityMatrix4();
    m.linear() = linear;
    try {
      CheckMotionShape(m, "m");
    } catch (const Error& e) {
      return platform::ToUtf8(e.message()).find("singular") != std::string::npos;
    }
    return false;
  };
  const Eigen::Matrix3d turn = Eigen::AngleAxisd(0.7, Vector3(1, 2, 3).normalized()).matrix();
  Eigen::Matrix3d thin = turn;
  thin.col(2) *= 1e-11;  // |det| / length^3 = 1e-11: thin, but a motion
  Eigen::Matrix3d flat = turn;
  flat.col(2) *= 1e-13;
  for (const double size : {1e-200, 1e-6, 1.0, 1e6, 1e200}) {
    EXPECT_FALSE(singular(turn * size)) << size;
    EXPECT_FALSE(singular(thin * size)) << size;
    EXPECT_TRUE(singular(flat * size)) << size;
    EXPECT_TRUE(singular(Eigen::Matrix3d::Zero())) << size;
  }
}

TEST(MatrixFile, GatheringAndAtomicWriting) {
  ScratchDir dir;
  WriteFile(dir / "a.matrix", "1 2\r\n3 4");
  std::string text;
  ASSERT_NO_THROW(text = ReadMatrixFile(dir / "a.matrix"));
  EXPECT_EQ(text, "1 2\n3 4\n");
  const auto cannot_open = [](const std::string& path) {
    try {
      ReadMatrixFile(path);
    } catch (const Error& e) {
      return e.kind() == Error::Kind::cannot_open && e.file() == path;
    }
    return false;
  };
  EXPECT_TRUE(cannot_open(dir / "none.matrix"));
  EXPECT_TRUE(cannot_open(dir.path()));
  WriteMatrixFile(dir / "b.matrix", Turn30());
  EXPECT_EQ(ReadFile(dir / "b.matrix"), ReadFile(kGolden + "turn30.matrix"));
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.matrix", "b.matrix"}));
}

// A working directory with a target mesh and a matrix, for the replay command.
class ApplyMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWorkDir(dir_.path());
    WriteFile(dir_ / "target.obj", "v 1 2 3\nvn 0 0 1\nf 1 1 1\n");
    WriteFile(dir_ / "m.matrix", "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  }
  ScratchDir dir_;
  FakePlatform fake_;
};

TEST_F(ApplyMatrixTest, MovesVerticesBySignOfValue) {
  struct Case {
    double value;
    const char* first_line;
  } cases[] = {
      {1.0, "v 6.000000 22.000000 36.000000 "},   {0.0, "v 6.000000 22.000000 36.000000 "},
      {-0.0, "v 6.000000 22.000000 36.000000 "},  {NAN, "v 6.000000 22.000000 36.000000 "},
      {-1.0, "v -9.000000 4.500000 -13.500000 "}, {-1e-300, "v -9.000000 4.500000 -13.500000 "}};
  for (const Case& c : cases) {
    ASSERT_TRUE(Invoke("ApplyMatrix", dir_ / "m.matrix", c.value));
    EXPECT_EQ(ReadFile(dir_ / "applied.obj"),
              std::string(c.first_line) + "\nvn 0 0 1 \nf 1 1 1 \n\n")
        << c.value;
  }
  ASSERT_TRUE(Invoke("ApplyMatrixInverse", dir_ / "m.matrix", 5.0));
  EXPECT_EQ(ReadFile(dir_ / "applied.obj").substr(0, 32), "v -9.000000 4.500000 -13.500000 ");
  EXPECT_TRUE(fake_.boxes.empty());
}

TEST_F(ApplyMatrixTest, FallsBackToActiveMatrixAndRoundTrips) {
  WriteFile(dir_ / "active.matrix", "1 0 0 0.25\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  for (const std::string& text : {std::string(), dir_ / "no-such.matrix"}) {
    ASSERT_TRUE(Invoke("ApplyMatrix", text, 1.0));
    EXPECT_EQ(ReadFile(dir_ / "applied.obj").substr(0, 32), "v 1.250000 2.000000 3.000000 \nvn");
  }
  WriteFile(dir_ / "target.obj", "v 0.123456 -7.5 1000\n");
  ASSERT_TRUE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
  WriteFile(dir_ / "target.obj", ReadFile(dir_ / "applied.obj"));
  ASSERT_TRUE(Invoke("ApplyMatrixInverse", dir_ / "m.matrix"));
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "v 0.123456 -7.500000 1000.000000 \n\n\n");
}

TEST_F(ApplyMatrixTest, UnopenableMatrixStopsBeforeTouchingAnything) {
  WriteFile(dir_ / "applied.obj", "previous");
  ASSERT_TRUE(Invoke("ApplyMatrix", "", 1.0));  // no active.matrix
  ASSERT_EQ(fake_.boxes.size(), 1u);
  EXPECT_EQ(fake_.boxes[0].caption, "");
  EXPECT_EQ(fake_.boxes[0].text, "active.matrix オープン失敗");
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "previous");
  ASSERT_TRUE(Invoke("ApplyMatrix", dir_.path(), 1.0));  // an existing directory
  EXPECT_EQ(fake_.boxes.size(), 2u);
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "previous");
}

TEST_F(ApplyMatrixTest, ErrorsLeaveThePreviousOutputAndNoTemporaryFile) {
  WriteFile(dir_ / "applied.obj", "previous");
  WriteFile(dir_ / "bad.matrix", "1 0 0 0\n0 1 0 zz\n");
  WriteFile(dir_ / "singular.matrix", "1 0 0 0\n0 0 0 0\n0 0 1 0\n");
  WriteFile(dir_ / "nan.matrix", "nan 0 0 0\n");
  EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "bad.matrix", 1.0));
  EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "singular.matrix", -1.0));
  EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "nan.matrix", 1.0));
  WriteFile(dir_ / "target.obj", "v 1 2 3\nv 4 5\n");
  EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
  ASSERT_EQ(fake_.boxes.size(), 4u);
  EXPECT_EQ(fake_.boxes[0].caption, "ApplyMatrix");
  EXPECT_EQ(fake_.boxes[0].text, dir_ / "bad.matrix" + " line 2: invalid stod argument");
  EXPECT_NE(fake_.boxes[1].text.find("cannot be inverted"), std::string::npos);
  EXPECT_NE(fake_.boxes[2].text.find("not finite"), std::string::npos);
  EXPECT_EQ(fake_.boxes[3].text, dir_ / "target.obj" + " line 2: invalid stod argument");
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "previous");
  EXPECT_EQ(dir_.Entries(),
            (std::vector<std::string>{"applied.obj", "bad.matrix", "m.matrix", "nan.matrix",
                                      "singular.matrix", "target.obj"}));
}

TEST_F(ApplyMatrixTest, MissingTargetEmptiesAppliedObj) {
  WriteFile(dir_ / "applied.obj", "previous");
  ASSERT_EQ(std::remove((dir_ / "target.obj").c_str()), 0);
  ASSERT_TRUE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
  ASSERT_EQ(fake_.boxes.size(), 1u);
  EXPECT_EQ(fake_.boxes[0].caption, "ファイルオープン失敗");
  EXPECT_EQ(fake_.boxes[0].text, dir_ / "target.obj");
  EXPECT_TRUE(Exists(dir_ / "applied.obj"));
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "");
}

TEST_F(ApplyMatrixTest, UnwritableDestinationsAreReported) {
  if (::geteuid() == 0) {
    // Root ignores directory permissions; a destination that is a directory
    // still cannot be replaced.
    ASSERT_EQ(::mkdir((dir_ / "applied.obj").c_str(), 0755), 0);
    EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
    EXPECT_TRUE(testing::Exists(dir_ / "applied.obj/"));
  } else {
    WriteFile(dir_ / "applied.obj", "previous");
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
    ::chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "previous");
  }
  ASSERT_EQ(fake_.boxes.size(), 1u);
  EXPECT_NE(fake_.boxes[0].text.find("applied.obj"), std::string::npos);
  EXPECT_EQ(dir_.Entries().size(), 3u) << "no temporary file is left";
}

TEST_F(ApplyMatrixTest, FullDiskIsReportedNotIgnored) {
  // applied.obj names the full device: the write fails, and says so.
  ASSERT_EQ(::symlink("/dev/full", (dir_ / "applied.obj").c_str()), 0);
  EXPECT_FALSE(Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0));
  ASSERT_EQ(fake_.boxes.size(), 1u);
  EXPECT_NE(fake_.boxes[0].text.find("the disk is full; free some space"), std::string::npos)
      << fake_.boxes[0].text;
  // A file size limit stands in for a disk that fills up half way.
  ASSERT_EQ(std::remove((dir_ / "applied.obj").c_str()), 0);
  WriteFile(dir_ / "applied.obj", "previous");
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "v 1 2 3\n";
  WriteFile(dir_ / "target.obj", big);
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = Invoke("ApplyMatrix", dir_ / "m.matrix", 1.0);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFile(dir_ / "applied.obj"), "previous");
  EXPECT_EQ(dir_.Entries().size(), 3u);
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// A host that switched its C locale (and the C++ global one) to a decimal
// comma must not get corrupted meshes or matrices.
TEST(HostLocale, DecimalCommaChangesNoByte) {
  ScratchDir dir;
  FakePlatform fake;
  SetWorkDir(dir.path());
  WriteFile(dir / "target.obj", "v 1.5 -2.25 3e-2\n");
  WriteFile(dir / "m.matrix", "1 0 0 0.5\n0 1 0 0\n0 0 1 0\n");
  WriteFile(dir / "base.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteFile(dir / "transformed.obj", "v 0.5 0 0\nv 4.5 0 0\nv 0.5 3 0\n");
  ASSERT_TRUE(Invoke("ApplyMatrix", dir / "m.matrix", 1.0));
  ASSERT_TRUE(Invoke("CalcMatrix"));
  const std::string applied = ReadFile(dir / "applied.obj");
  const std::string active = ReadFile(dir / "active.matrix");
  EXPECT_EQ(applied, "v 2.000000 -2.250000 0.030000 \n\n");

  testing::CommaCLocale comma;
  if (comma.name().empty()) GTEST_SKIP() << "no C locale with a decimal comma could be made";
  const std::locale old = std::locale::global(std::locale(comma.name()));
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5") << "the comma locale is live";
  std::remove((dir / "applied.obj").c_str());
  std::remove((dir / "active.matrix").c_str());
  const bool applied_ok = Invoke("ApplyMatrix", dir / "m.matrix", 1.0);
  const bool calc_ok = Invoke("CalcMatrix");
  std::locale::global(old);
  EXPECT_TRUE(applied_ok);
  EXPECT_TRUE(calc_ok);
  EXPECT_EQ(ReadFile(dir / "applied.obj"), applied);
  EXPECT_EQ(ReadFile(dir / "active.matrix"), active);
  EXPECT_TRUE(fake.boxes.empty());
}

}  // namespace
}  // namespace korvane
