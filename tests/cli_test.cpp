// The command-line host: exit statuses, the call form, and the friendly forms.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "test_support.h"

namespace korvane {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

struct Result {
  int status;
  std::string out;  // standard output and standard error together
};

Result Korvane(const std::string& args) {
  const std::string cmd = std::string("'") + KORVANE_CLI + "' " + args + " </dev/null 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  Result r{-1, {}};
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int raw = ::pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(Cli, HelpVersionAndUsageErrors) {
  EXPECT_EQ(Korvane("--help").status, 0);
  EXPECT_NE(Korvane("--help").out.find("korvane apply"), std::string::npos);
  const Result v = Korvane("--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "korvane 0.1.1\n");
  for (const char* bad : {"", "frobnicate", "call", "call NoSuchCommand", "call Version --value x",
                          "apply -m m.matrix", "calc one.obj"}) {
    const Result r = Korvane(bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << bad;
  }
}

TEST(Cli, CallRunsCommandsAsAHostWould) {
  ScratchDir dir;
  EXPECT_EQ(Korvane("call Version").out, "0.1.1\n");
  WriteFile(dir / "target.obj", "v 1 2 3\n");
  WriteFile(dir / "m.matrix", "1 0 0 1\n0 1 0 1\n0 0 1 1\n");
  Result r = Korvane("call ApplyMatrix --workdir " + dir.path() + " --text " + (dir / "m.matrix"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "applied.obj"), "v 2.000000 3.000000 4.000000 \n\n");
  r = Korvane("call ApplyMatrixInverse --workdir " + dir.path() + " --text " + (dir / "m.matrix"));
  EXPECT_EQ(ReadFile(dir / "applied.obj"), "v 0.000000 1.000000 2.000000 \n\n");
  // No separator given: the host adds it.
  r = Korvane("call ApplyMatrix --workdir " + dir.path().substr(0, dir.path().size() - 1));
  EXPECT_EQ(r.status, 1) << "no active.matrix: a box was shown";
  EXPECT_NE(r.out.find("active.matrix オープン失敗"), std::string::npos) << r.out;
  r = Korvane("call ShowStatus --workdir " + dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Version\n0.1.1\n\nworkDirectory\n" + dir.path() + "\n\nALDir\n\n\n");
}

TEST(Cli, DialogsAreAnsweredOrCancelled) {
  ScratchDir dir;
  WriteFile(dir / "active.matrix", "1 0 0 0\n");
  EXPECT_EQ(Korvane("call SaveMatrix --workdir " + dir.path() + " --text Body --cancel").status, 0);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"active.matrix"});
  EXPECT_EQ(Korvane("call SaveMatrix --workdir " + dir.path() + " --answer " + (dir / "b.matrix"))
                .status,
            0);
  EXPECT_EQ(ReadFile(dir / "b.matrix"), "1 0 0 0\n");
  EXPECT_EQ(Korvane("call SetAutoLodingDirectory --workdir " + dir.path() + " --answer " +
                    (dir / "default.matrix"))
                .status,
            0);
  EXPECT_EQ(ReadFile(dir / "ALDirectory.txt"), dir.path());
  const Result s = Korvane("status --workdir " + dir.path());
  EXPECT_NE(s.out.find("ALDir\n" + dir.path() + "\n"), std::string::npos) << s.out;
}

TEST(Cli, ApplyAndCalcFriendlyForms) {
  ScratchDir dir;
  WriteFile(dir / "base.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteFile(dir / "moved.obj", "v 10 20 30\nv 10 28 30\nv 4 20 30\n");
  Result r = Korvane("calc " + (dir / "base.obj") + " " + (dir / "moved.obj") + " -o " +
                     (dir / "motion.matrix"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("same topology"), std::string::npos);
  EXPECT_NE(r.out.find("scale:       2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rotation:    90 degrees about (0, 0, 1)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("translation: (10, 20, 30)"), std::string::npos) << r.out;
  ASSERT_EQ(::mkdir((dir / "out").c_str(), 0755), 0);
  r = Korvane("apply -m " + (dir / "motion.matrix") + " --inverse " + (dir / "moved.obj") + " " +
              (dir / "base.obj") + " -o " + (dir / "out"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "out/moved.obj"),
            "v 0.000000 0.000000 0.000000 \nv 4.000000 0.000000 0.000000 \nv -0.000000 3.000000 "
            "0.000000 \n\n");
  WriteFile(dir / "bad.obj", "v 1 2 3\nv 1 2 x\n");
  r = Korvane("apply -m " + (dir / "motion.matrix") + " " + (dir / "bad.obj") + " -o " +
              (dir / "bad.out.obj"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("bad.obj line 2: invalid stod argument"), std::string::npos) << r.out;
  EXPECT_FALSE(testing::Exists(dir / "bad.out.obj"));
  // A mirrored copy is not a similarity: the report warns.
  WriteFile(dir / "mirror.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\nv 0 0 1\n");
  WriteFile(dir / "mirror2.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\nv 0 0 -1\n");
  r = Korvane("calc " + (dir / "mirror.obj") + " " + (dir / "mirror2.obj") + " -o " +
              (dir / "m.matrix"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("warning: the moved mesh is not a similar copy"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace korvane
