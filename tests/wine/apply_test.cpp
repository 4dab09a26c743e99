// ApplyMatrix and ApplyMatrixInverse on real files: target.obj in the working
// directory is moved into applied.obj by a matrix file, and every failure is a
// box that leaves the process running and applied.obj as it should be.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "harness.h"  // windows.h, which tlhelp32.h needs before it

// clang-format off
#include <tlhelp32.h>
// clang-format on

namespace kvtest {
namespace {

// Turns 90 degrees about z, scales by 2, moves by (10, 20, 30).
constexpr char kMotion[] = "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n";
// Scales by 2 and moves by (10, 20, 30): forward and inverse are exact.
constexpr char kScaleMove[] = "2 0 0 10\n0 2 0 20\n0 0 2 30\n0 0 0 1\n";
constexpr char kTarget[] = "v 1 2 3\nvn 0 0 1\nf 1 1 1\n";
constexpr char kMotionApplied[] =
    "v 6.000000 22.000000 36.000000 \r\nvn 0 0 1 \r\nf 1 1 1 \r\n\r\n";
constexpr char kScaleMoveApplied[] = "v 12.000000 24.000000 36.000000 \r\n\r\n";
constexpr char kScaleMoveInverted[] = "v -4.500000 -9.000000 -13.500000 \r\n\r\n";
constexpr char kSentinel[] = "applied.obj from an earlier run\n";

const std::wstring kActiveMatrixOpenFailed = L"active.matrix \u30AA\u30FC\u30D7\u30F3\u5931\u6557";
const std::wstring kFileOpenFailed =
    L"\u30D5\u30A1\u30A4\u30EB\u30AA\u30FC\u30D7\u30F3\u5931\u6557";

bool Contains(const std::wstring& text, const std::string& piece) {
  return text.find(Widen(piece)) != std::wstring::npos;
}

class ApplyMatrixTest : public testing::Test {
 protected:
  void SetUp() override {
    Call("SetWorkingDirectory", work().c_str());
    WriteBytes(scratch_ / "target.obj", kTarget);
  }

  const std::string& work() const { return scratch_.Path(); }
  std::string At(const std::string& name) const { return scratch_ / name; }
  std::optional<std::string> Applied() const { return ReadBytes(At("applied.obj")); }

  // Runs the command and expects it to finish without any window.
  void RunQuietly(const char* command, const std::string& text, double value) {
    const Watched w = CallWatched(command, text.c_str(), value);
    EXPECT_TRUE(w.windows.empty()) << Describe(w.windows);
    EXPECT_FALSE(w.timedOut);
  }

  // Runs the command and returns the one message box it must show.
  SeenWindow RunExpectingBox(const char* command, const std::string& text, double value) {
    const Watched w = CallWatched(command, text.c_str(), value);
    EXPECT_FALSE(w.timedOut);
    if (w.windows.size() != 1 || w.windows[0].kind != SeenWindow::Kind::messageBox) {
      ADD_FAILURE() << "expected one message box, saw " << Describe(w.windows);
      return {};
    }
    return w.windows[0];
  }

  // Nothing but the named files is in the working directory: no temporary
  // file was left behind.
  void ExpectOnlyFiles(std::vector<std::string> names) const {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(ListDirectory(work()), names);
  }

  ScratchDir scratch_;
};

TEST_F(ApplyMatrixTest, WritesTheMovedObjectWithWindowsLineEnds) {
  struct Case {
    const char* name;
    std::string matrix;
    std::string target;
    std::string applied;
  };
  const Case cases[] = {
      {"LF files", kMotion, kTarget, kMotionApplied},
      {"CR LF matrix", "0 -2 0 10\r\n2 0 0 20\r\n0 0 2 30\r\n0 0 0 1\r\n", kTarget, kMotionApplied},
      {"CR LF target", kMotion, "v 1 2 3\r\nvn 0 0 1\r\nf 1 1 1\r\n", kMotionApplied},
      {"no final line end", kMotion, "v 1 2 3", "v 6.000000 22.000000 36.000000 \r\n"},
      {"spacing and other records", kMotion,
       "# made  by hand\n  v   1  2 3  \nvt 0.5 0.25\n\ng  part\nv 0 0 0 0.5\nf 1/1 1/1 1/1\n",
       "# made by hand \r\nv 6.000000 22.000000 36.000000 \r\nvt 0.5 0.25 \r\n\r\ng part \r\n"
       "v 10.000000 20.000000 30.000000 0.5 \r\nf 1/1 1/1 1/1 \r\n\r\n"},
      {"fractions and signs", "1 0 0 -0.125\n0 1 0 0\n0 0 1 1e-7\n0 0 0 1\n",
       "v -1.5 2.0000004 1e3\n", "v -1.625000 2.000000 1000.000000 \r\n\r\n"},
  };
  const std::string matrix_dir = scratch_.MakeSubdir("motions");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(matrix_dir + "m.matrix", c.matrix);
    WriteBytes(At("target.obj"), c.target);
    RunQuietly("ApplyMatrix", matrix_dir + "m.matrix", 1.0);
    EXPECT_EQ(Applied(), c.applied);
    ExpectOnlyFiles({"applied.obj", "motions", "target.obj"});
  }
}

TEST_F(ApplyMatrixTest, NegativeValueAppliesTheInverse) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* command;
    double value;
    const char* applied;
  };
  const Case cases[] = {
      {"ApplyMatrix", 1.0, kScaleMoveApplied},
      {"ApplyMatrix", 0.0, kScaleMoveApplied},
      {"ApplyMatrix", -0.0, kScaleMoveApplied},
      {"ApplyMatrix", nan, kScaleMoveApplied},
      {"ApplyMatrix", -nan, kScaleMoveApplied},
      {"ApplyMatrix", 2.5, kScaleMoveApplied},
      {"ApplyMatrix", inf, kScaleMoveApplied},
      {"ApplyMatrix", -1.0, kScaleMoveInverted},
      {"ApplyMatrix", -0.5, kScaleMoveInverted},
      {"ApplyMatrix", -inf, kScaleMoveInverted},
      {"ApplyMatrix", -std::numeric_limits<double>::denorm_min(), kScaleMoveInverted},
      // The inverse command ignores the value.
      {"ApplyMatrixInverse", 1.0, kScaleMoveInverted},
      {"ApplyMatrixInverse", 0.0, kScaleMoveInverted},
      {"ApplyMatrixInverse", -1.0, kScaleMoveInverted},
  };
  WriteBytes(At("motion.matrix"), kScaleMove);
  WriteBytes(At("target.obj"), "v 1 2 3\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " value " + std::to_string(c.value));
    WriteBytes(At("applied.obj"), kSentinel);
    RunQuietly(c.command, At("motion.matrix"), c.value);
    EXPECT_EQ(Applied(), std::string(c.applied));
  }
}

TEST_F(ApplyMatrixTest, InverseUndoesATurnedAndScaledMotion) {
  WriteBytes(At("motion.matrix"), kMotion);
  WriteBytes(At("target.obj"), "v 6 22 36\nv 10 20 30\n");
  RunQuietly("ApplyMatrix", At("motion.matrix"), -1.0);
  EXPECT_EQ(Applied(), "v 1.000000 2.000000 3.000000 \r\nv 0.000000 0.000000 0.000000 \r\n\r\n");
}

TEST_F(ApplyMatrixTest, TextNamingNoFileUsesActiveMatrix) {
  WriteBytes(At("active.matrix"), kMotion);
  const std::string texts[] = {"", At("missing.matrix"), "no such file", "Body__part2"};
  for (const std::string& text : texts) {
    SCOPED_TRACE("text \"" + text + "\"");
    WriteBytes(At("applied.obj"), kSentinel);
    RunQuietly("ApplyMatrix", text, 1.0);
    EXPECT_EQ(Applied(), std::string(kMotionApplied));
  }
}

TEST_F(ApplyMatrixTest, MissingActiveMatrixIsReportedAndChangesNothing) {
  for (const char* command : {"ApplyMatrix", "ApplyMatrixInverse"}) {
    for (const std::string& text : {std::string(), At("missing.matrix")}) {
      SCOPED_TRACE(std::string(command) + " \"" + text + "\"");
      WriteBytes(At("applied.obj"), kSentinel);
      const SeenWindow box = RunExpectingBox(command, text, 1.0);
      EXPECT_EQ(box.caption, L"");
      EXPECT_EQ(box.text, kActiveMatrixOpenFailed);
      EXPECT_EQ(Applied(), std::string(kSentinel));
      ExpectOnlyFiles({"applied.obj", "target.obj"});
    }
  }
}

TEST_F(ApplyMatrixTest, MissingTargetIsReportedAndEmptiesApplied) {
  WriteBytes(At("active.matrix"), kMotion);
  DeleteFileA(At("target.obj").c_str());
  WriteBytes(At("applied.obj"), kSentinel);
  const SeenWindow box = RunExpectingBox("ApplyMatrix", "", 1.0);
  EXPECT_EQ(box.caption, kFileOpenFailed);
  EXPECT_EQ(box.text, Widen(At("target.obj")));
  EXPECT_EQ(Applied(), std::string());
  ExpectOnlyFiles({"active.matrix", "applied.obj"});

  // Also when there was no applied.obj before.
  DeleteFileA(At("applied.obj").c_str());
  RunExpectingBox("ApplyMatrix", "", 1.0);
  EXPECT_EQ(Applied(), std::string());
}

TEST_F(ApplyMatrixTest, BadNumberIsReportedWithFileAndLine) {
  struct Case {
    const char* name;
    std::string matrix;
    std::string target;
    bool in_matrix;  // which file the box must name
    const char* line;
    const char* reason;
  };
  const Case cases[] = {
      {"matrix word", "1 x 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", kTarget, true, "line 1",
       "invalid stod argument"},
      {"matrix overflow", "1 0 0 0\n0 1 0 0\n0 0 1e999 0\n0 0 0 1\n", kTarget, true, "line 3",
       "stod argument out of range"},
      {"vertex word", kMotion, "v 1 2 3\nv 1 x 3\nf 1 2 1\n", false, "line 2",
       "invalid stod argument"},
      {"vertex short", kMotion, "vn 0 0 1\nv 1 2\n", false, "line 2", "invalid stod argument"},
      {"vertex overflow", kMotion, "v 1 2 3\n\n\nv 1 2 -1e400\n", false, "line 4",
       "stod argument out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(At("bad.matrix"), c.matrix);
    WriteBytes(At("target.obj"), c.target);
    WriteBytes(At("applied.obj"), kSentinel);
    const SeenWindow box = RunExpectingBox("ApplyMatrix", At("bad.matrix"), 1.0);
    EXPECT_EQ(box.caption, L"ApplyMatrix");
    EXPECT_TRUE(Contains(box.text, c.in_matrix ? At("bad.matrix") : At("target.obj")))
        << Describe({box});
    EXPECT_TRUE(Contains(box.text, c.line)) << Describe({box});
    EXPECT_TRUE(Contains(box.text, c.reason)) << Describe({box});
    EXPECT_EQ(Applied(), std::string(kSentinel));
    ExpectOnlyFiles({"applied.obj", "bad.matrix", "target.obj"});
  }

  // The process and the library carry on as before.
  char version[8] = {};
  Command("Version")(nullptr, 0.0, nullptr, 0, version, 8, 0);
  EXPECT_STREQ(version, "0.1.1");
  WriteBytes(At("bad.matrix"), kMotion);
  WriteBytes(At("target.obj"), kTarget);
  RunQuietly("ApplyMatrix", At("bad.matrix"), 1.0);
  EXPECT_EQ(Applied(), std::string(kMotionApplied));
}

// Number of threads in this process.
std::size_t ThreadsOfThisProcess() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  std::size_t n = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  }
  CloseHandle(snapshot);
  return n;
}

// A target of a dozen megabytes is streamed on several threads: every line
// comes out in order, a line longer than a block included, the first bad
// line in file order is the one named, and no thread is left running.
TEST_F(ApplyMatrixTest, LargeTargetOnThreads) {
  WriteBytes(At("motion.matrix"), kScaleMove);
  std::string target;
  std::string want;
  const int vertices = 500000;
  for (int i = 0; i < vertices; ++i) {
    target += "v " + std::to_string(i) + " 2 3" + (i % 7 == 0 ? "\r\n" : "\n") + "vt 0 1\n";
    want += "v " + std::to_string(2 * i + 10) + ".000000 24.000000 36.000000 \r\nvt 0 1 \r\n";
  }
  const std::string comment = "# " + std::string(3 << 20, 'c');
  target += comment + "\nf 1 2 3";
  want += comment + " \r\nf 1 2 3 \r\n";
  WriteBytes(At("target.obj"), target);
  const std::size_t threads_before = ThreadsOfThisProcess();
  ASSERT_GT(threads_before, 0u);
  RunQuietly("ApplyMatrix", At("motion.matrix"), 1.0);
  // Counted before any failure is printed: printing may start a thread.
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before);
  EXPECT_TRUE(Applied() == want) << "applied.obj differs from what was expected";

  // Two bad lines near the end (lines 1 + 2 * 490000 and 4 more further).
  const std::size_t bad = target.find("\nv 490000 2 3") + 1;
  target.replace(bad, 8, "v 1 x 3 ");
  const std::size_t worse = target.find("\nv 490002 2 3") + 1;
  target.replace(worse, 8, "v 1e999 ");
  WriteBytes(At("target.obj"), target);
  WriteBytes(At("applied.obj"), kSentinel);
  const std::size_t threads_before_error = ThreadsOfThisProcess();
  const SeenWindow box = RunExpectingBox("ApplyMatrix", At("motion.matrix"), 1.0);
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before_error);
  EXPECT_TRUE(Contains(box.text, "line 980001: invalid stod argument")) << Describe({box});
  EXPECT_EQ(Applied(), std::string(kSentinel));
  ExpectOnlyFiles({"applied.obj", "motion.matrix", "target.obj"});
}

// A directory where applied.obj should be cannot be replaced by a file: the
// box names it, the directory stays as it was, and no temporary file is left.
TEST_F(ApplyMatrixTest, AppliedThatCannotBeReplacedIsReportedAndKept) {
  WriteBytes(At("active.matrix"), kMotion);
  const std::string blocker = scratch_.MakeSubdir("applied.obj");
  WriteBytes(blocker + "inside.txt", "kept");
  // The host's last failed C call left errno set (this program shares the
  // DLL's C runtime); the box must not give that as the reason.
  errno = ENOENT;
  const SeenWindow box = RunExpectingBox("ApplyMatrix", "", 1.0);
  EXPECT_EQ(box.caption, L"ApplyMatrix");
  EXPECT_TRUE(Contains(box.text, At("applied.obj"))) << Describe({box});
  EXPECT_FALSE(Contains(box.text, "no such file or folder")) << Describe({box});
  EXPECT_TRUE(Contains(box.text, "access denied")) << Describe({box});
  EXPECT_EQ(ReadBytes(blocker + "inside.txt"), "kept");
  EXPECT_EQ(ListDirectory(blocker), std::vector<std::string>{"inside.txt"});
  ExpectOnlyFiles({"active.matrix", "applied.obj", "target.obj"});

  // With the way clear, the same call succeeds.
  DeleteFileA((blocker + "inside.txt").c_str());
  ASSERT_NE(RemoveDirectoryA(At("applied.obj").c_str()), FALSE);
  RunQuietly("ApplyMatrix", "", 1.0);
  EXPECT_EQ(Applied(), std::string(kMotionApplied));
}

// Inputs that once gave a plainly wrong applied.obj without a word: a UTF-8
// byte-order mark is read past (and written back), everything else that
// would be wrong is refused with a message and applied.obj kept.
TEST_F(ApplyMatrixTest, EncodingsEmptyMatricesAndOverflowsAreNeverSilentlyWrong) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* name;
    std::string matrix;
    std::string target;
    std::optional<std::string> applied;  // nullopt: refused
    const char* says;                    // what the box must say when refused
  };
  const Case cases[] = {
      {"marked target", kScaleMove, bom + "v 1 2 3\nv 1 2 3\n",
       bom + "v 12.000000 24.000000 36.000000 \r\nv 12.000000 24.000000 36.000000 \r\n\r\n", ""},
      {"marked matrix", bom + kScaleMove, "v 1 2 3\n", std::string(kScaleMoveApplied), ""},
      {"UTF-16 LE target", kScaleMove,
       std::string("\xFF\xFEv\0 \0"
                   "1\0 \0"
                   "2\0 \0"
                   "3\0",
                   16),
       std::nullopt, "is UTF-16 text"},
      {"UTF-16 BE target", kScaleMove, std::string("\xFE\xFF\0v", 4), std::nullopt,
       "is UTF-16 text"},
      {"UTF-16 matrix",
       std::string("\xFF\xFE"
                   "2\0",
                   4),
       "v 1 2 3\n", std::nullopt, "is UTF-16 text"},
      {"empty matrix", "", "v 1 2 3\n", std::nullopt, "holds no number"},
      {"blank matrix", " \r\n\r\n \r\n\r\n", "v 1 2 3\n", std::nullopt, "holds no number"},
      {"marked empty matrix", bom, "v 1 2 3\n", std::nullopt, "holds no number"},
      {"vertex carried to infinity", "1e300 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n",
       "v 1 2 3\nvn 0 0 1\nv 1e10 2 3\n", std::nullopt,
       "line 3: the matrix carries this vertex to an infinite position"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(At("m.matrix"), c.matrix);
    WriteBytes(At("target.obj"), c.target);
    WriteBytes(At("applied.obj"), kSentinel);
    if (c.applied) {
      RunQuietly("ApplyMatrix", At("m.matrix"), 1.0);
      EXPECT_EQ(Applied(), *c.applied);
    } else {
      const SeenWindow box = RunExpectingBox("ApplyMatrix", At("m.matrix"), 1.0);
      EXPECT_TRUE(Contains(box.text, c.says)) << Describe({box});
      EXPECT_TRUE(Contains(box.text, "applied.obj was not changed")) << Describe({box});
      EXPECT_EQ(Applied(), std::string(kSentinel));
    }
    ExpectOnlyFiles({"applied.obj", "m.matrix", "target.obj"});
  }
}

// applied.obj at MAX_PATH, 259 characters, is written through a temporary
// file beside it; when a directory is in the way, that file is removed too.
TEST_F(ApplyMatrixTest, AppliedAtMaxPathIsReplacedAndNothingIsLeft) {
  const std::string work = scratch_.MakeSubdirOfLength(259 - 11);
  WriteBytes(At("m.matrix"), kMotion);
  Call("SetWorkingDirectory", work.c_str());
  WriteBytes(work + "target.obj", kTarget);
  RunQuietly("ApplyMatrix", At("m.matrix"), 1.0);
  EXPECT_EQ(ReadBytes(work + "applied.obj"), std::string(kMotionApplied));
  EXPECT_EQ(ListDirectory(work), (std::vector<std::string>{"applied.obj", "target.obj"}));

  ASSERT_NE(DeleteFileA((work + "applied.obj").c_str()), FALSE);
  ASSERT_NE(CreateDirectoryW((L"\\\\?\\" + Widen(work + "applied.obj")).c_str(), nullptr), FALSE);
  const SeenWindow box = RunExpectingBox("ApplyMatrix", At("m.matrix"), 1.0);
  EXPECT_TRUE(Contains(box.text, "cannot replace " + work + "applied.obj")) << Describe({box});
  EXPECT_EQ(ListDirectory(work), (std::vector<std::string>{"applied.obj", "target.obj"}));
}

// Another program holds applied.obj open: the box says so, and what to do.
TEST_F(ApplyMatrixTest, AppliedHeldByAnotherProgramIsReportedAsInUse) {
  WriteBytes(At("m.matrix"), kMotion);
  WriteBytes(At("applied.obj"), kSentinel);
  const HANDLE held = CreateFileA(At("applied.obj").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const SeenWindow box = RunExpectingBox("ApplyMatrix", At("m.matrix"), 1.0);
  CloseHandle(held);
  EXPECT_TRUE(Contains(box.text, "another program is using the file; close it there"))
      << Describe({box});
  EXPECT_EQ(Applied(), std::string(kSentinel));
  ExpectOnlyFiles({"applied.obj", "m.matrix", "target.obj"});
}

// A host running with a decimal-comma locale: both this program and the DLL
// use msvcrt.dll, so the locale set here is the one the DLL runs under.
TEST_F(ApplyMatrixTest, DecimalCommaLocaleChangesNothing) {
  const char* set = nullptr;
  for (const char* name : {"German_Germany.1252", "de-DE", "German"}) {
    set = std::setlocale(LC_ALL, name);
    if (set != nullptr) break;
  }
  char probe[16] = {};
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  const std::string decimal_point = std::localeconv()->decimal_point;
  if (set == nullptr || decimal_point != "," || std::strcmp(probe, "1,5") != 0) {
    std::setlocale(LC_ALL, "C");
    GTEST_SKIP() << "no German locale available here (setlocale gave "
                 << (set != nullptr ? set : "null") << ", 1.5 prints as " << probe << ")";
  }

  WriteBytes(At("scale.matrix"), "1.5 0 0 0.25\n0 1 0 -0.5\n0 0 2.5 0\n0 0 0 1\n");
  WriteBytes(At("target.obj"), "v 0.5 2.25 -1.5\nvt 0.5 0.5\n");
  RunQuietly("ApplyMatrix", At("scale.matrix"), 1.0);
  EXPECT_EQ(Applied(), "v 1.000000 1.750000 -3.750000 \r\nvt 0.5 0.5 \r\n\r\n");
  RunQuietly("ApplyMatrix", At("scale.matrix"), -1.0);
  EXPECT_EQ(Applied(), "v 0.166667 2.750000 -0.600000 \r\nvt 0.5 0.5 \r\n\r\n");

  // A measured matrix is written with decimal points too.
  WriteBytes(At("base.obj"), "v 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteBytes(At("transformed.obj"), "v 0 0 0\nv 6 0 0\nv 0 4.5 0\n");
  RunQuietly("CalcMatrix", "", 0.0);
  const std::optional<std::string> active = ReadBytes(At("active.matrix"));
  std::setlocale(LC_ALL, "C");
  ASSERT_TRUE(active.has_value());
  EXPECT_NE(active->find("1.5"), std::string::npos) << *active;
  EXPECT_EQ(active->find(','), std::string::npos) << *active;
}

}  // namespace
}  // namespace kvtest
