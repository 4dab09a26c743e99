// The command-line host: exit statuses and messages on real files, the call
// form, batch replay, and the progress bar on a real pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "cli/mesh_generator.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

struct Result {
  int status;
  std::string out;  // standard output, and standard error unless `err` is given
};

// Runs korvane; standard error goes with standard output, or to the file `err`.
Result Korvane(const std::string& args, const std::string& err = {}) {
  const std::string cmd = std::string("'") + KORVANE_CLI + "' " + args + " </dev/null " +
                          (err.empty() ? "2>&1" : "2>'" + err + "'");
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

TEST(Cli, HelpAndVersion) {
  const Result help = Korvane("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"\n  calc ", "\n  apply ", "\n  status ", "\n  demo ", "\n  call ",
                           "\n  matrix ", "Exit status:", "\n  3  calc:"}) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part << "\n" << help.out;
  }
  for (const char* sub : {"calc", "apply", "status", "demo", "call", "matrix"}) {
    for (const std::string& form : {std::string(sub) + " --help", "help " + std::string(sub)}) {
      const Result r = Korvane(form);
      EXPECT_EQ(r.status, 0) << form;
      EXPECT_NE(r.out.find("Usage: korvane " + std::string(sub) + " [OPTIONS]"), std::string::npos)
          << form << "\n"
          << r.out;
    }
  }
  EXPECT_NE(Korvane("apply --help").out.find("-j,--jobs N"), std::string::npos);
  const Result v = Korvane("--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "korvane 0.1.1\n");
}

TEST(Cli, UsageErrorsAreOneLineThatNamesTheArgument) {
  ScratchDir dir;
  WriteFile(dir / "a.obj", "v 1 2 3\n");
  ASSERT_EQ(::mkdir((dir / "d1").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "d2").c_str(), 0755), 0);
  const std::string a = dir / "a.obj";
  const struct {
    std::string args;
    std::string says;
  } cases[] = {
      {"", "korvane: no subcommand given"},
      {"frobnicate", "unknown subcommand 'frobnicate' (see"},
      {"aply -m m.matrix " + a + " -o out.obj", "unknown subcommand 'aply'; did you mean 'apply'?"},
      {"--verison", "unknown option '--verison'; did you mean '--version'?"},
      {"call", "korvane call: COMMAND is required"},
      {"call NoSuchCommand", "unknown command 'NoSuchCommand' (see"},
      {"call Verson", "unknown command 'Verson'; did you mean 'Version'?"},
      {"call Version --value x", "--value: 'x' is not a number"},
      {"call SaveMatrix --answer x --cancel", "--answer excludes --cancel"},
      {"apply " + a + " -o out.obj", "korvane apply: --matrix is required"},
      {"apply -m m.matrix", "IN.obj is required"},
      {"apply -m m.matrix " + a, "--output is required"},
      {"apply -m m.matrix " + a + " -o out.obj -j 0", "--jobs: '0' is not a whole number"},
      {"apply -m m.matrix " + a + " -o out.obj --inverce",
       "'--inverce'; did you mean '--inverse'?"},
      {"apply -m m.matrix " + a + " " + a + " -o " + (dir / "none"), "existing directory"},
      {"apply -m m.matrix " + (dir / "d1/a.obj") + " " + (dir / "d2/a.obj") + " -o " + dir.path(),
       "would both be written to " + dir.path() + "a.obj"},
      {"calc " + a, "korvane calc: MOVED.obj is required"},
      {"calc " + a + " " + a + " c.obj", "unexpected argument 'c.obj'"},
      {"demo --vertices ten", "--vertices: 'ten' is not a whole number"},
      {"calc " + a + " " + a + " --tolerance nan", "--tolerance: 'nan' is not a finite number"},
      {"calc " + a + " " + a + " --trim nan", "--trim: 'nan' is not a finite number"},
      {"matrix", "korvane matrix: a verb is required"},
      {"matrix shw " + a, "unknown verb 'shw'; did you mean 'show'?"},
      {"matrix make --scal 2 -o x.matrix", "unknown option '--scal'; did you mean '--scale'?"},
      {"matrix make --rotate 0,0,0:90 -o x.matrix", "--rotate: '0,0,0:90' is not an axis"},
      {"matrix make --translate 1,2 -o x.matrix", "--translate: '1,2' is not three"},
      {"matrix make --scale 0 -o x.matrix", "--scale: '0' is not a finite number other than 0"},
      {"matrix invert " + a, "korvane matrix: --output is required"},
      {"matrix compose " + a + " -o x.matrix", "compose needs two matrix files or more"},
  };
  for (const auto& c : cases) {
    const Result r = Korvane(c.args);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << c.args << "\n" << r.out;
  }
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.obj", "d1", "d2"})) << "nothing written";
}

TEST(Cli, ExitStatusesOnRealFiles) {
  ScratchDir dir;
  WriteFile(dir / "base.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteFile(dir / "line.obj", "v 0 0 0\nv 1 1 1\nv 2 2 2\n");  // the moved triangle collapsed
  WriteFile(dir / "shift.matrix", "1 0 0 1\n0 1 0 1\n0 0 1 1\n0 0 0 1\n");
  WriteFile(dir / "flat.matrix", "1 0 0 0\n0 1 0 0\n0 0 0 0\n0 0 0 1\n");
  WriteFile(dir / "nan.matrix", "nan 0 0 0\n");
  const struct {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {"calc " + (dir / "base.obj") + " " + (dir / "line.obj") + " -o " + (dir / "x.matrix"), 1,
       "[calc] cannot fit the motion: all vertices of the moved mesh lie on one line"},
      {"calc " + (dir / "none.obj") + " " + (dir / "base.obj") + " -o " + (dir / "x.matrix"), 1,
       dir / "none.obj"},
      {"apply -m " + (dir / "none.matrix") + " " + (dir / "base.obj") + " -o " + (dir / "x.obj"), 1,
       "[apply] cannot open " + (dir / "none.matrix")},
      {"apply -m " + (dir / "nan.matrix") + " " + (dir / "base.obj") + " -o " + (dir / "x.obj"), 1,
       "'nan' is not a finite number"},
      {"apply -m " + (dir / "flat.matrix") + " --inverse " + (dir / "base.obj") + " -o " +
           (dir / "x.obj"),
       1, "is singular"},
      {"apply -m " + (dir / "shift.matrix") + " " + (dir / "base.obj") + " -o " + (dir / "y.obj"),
       0, (dir / "base.obj") + " -> " + (dir / "y.obj")},
  };
  for (const auto& c : cases) {
    const Result r = Korvane(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
  EXPECT_FALSE(testing::Exists(dir / "x.matrix"));
  EXPECT_FALSE(testing::Exists(dir / "x.obj"));
  EXPECT_EQ(ReadFile(dir / "y.obj"),
            "v 1.000000 1.000000 1.000000 \nv 5.000000 1.000000 1.000000 \nv 1.000000 4.000000 "
            "1.000000 \n\n");
}

TEST(Cli, CallRunsCommandsAsAHostWould) {
  ScratchDir dir;
  EXPECT_EQ(Korvane("call Version").out, "0.1.1\n");
  WriteFile(dir / "target.obj", "v 1 2 3\n");
  WriteFile(dir / "m.matrix", "1 0 0 1\n0 1 0 1\n0 0 1 1\n");
  Result r = Korvane("call ApplyMatrix --workdir " + dir.path() + " --text " + (dir / "m.matrix"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "applied.obj"), "v 2.000000 3.000000 4.000000 \n\n");
  r = Korvane("call ApplyMatrix --workdir " + dir.path() + " --text " + (dir / "m.matrix") +
              " --value -1");
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
  EXPECT_EQ(
      Korvane("call SaveMatrix --workdir " + dir.path() + " --answer " + (dir / "b.matrix")).status,
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
  EXPECT_NE(r.out.find("bad.obj line 2: 'x' is not a number; write each coordinate as a number"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(testing::Exists(dir / "bad.out.obj"));
  // A mirrored copy is not a similarity: measured and written, but it does not fit.
  WriteFile(dir / "mirror.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\nv 0 0 1\n");
  WriteFile(dir / "mirror2.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\nv 0 0 -1\n");
  r = Korvane("calc " + (dir / "mirror.obj") + " " + (dir / "mirror2.obj") + " -o " +
              (dir / "m.matrix"));
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("The motion does not fit"), std::string::npos) << r.out;
  EXPECT_TRUE(testing::Exists(dir / "m.matrix"));
}

// A copy in another vertex order: the default fit tries three points and
// least squares, then finds it by ICP (exit 0); a symmetric one is ambiguous
// (exit 4), with the other turns that fit listed.
TEST(Cli, CalcFindsReorderedCopiesAndSaysWhenTheyAreAmbiguous) {
  ScratchDir dir;
  const std::string faces =
      "f 1 3 5\nf 3 2 5\nf 2 4 5\nf 4 1 5\nf 3 1 6\nf 2 3 6\nf 4 2 6\nf 1 4 6\n";
  // Octahedra, one with its corners pushed about, one regular; the copies
  // are scaled by 2, turned a quarter about z, shifted by (10, 2, 0), and list
  // the corners in another order.
  const struct {
    const char* base;
    const char* moved;
    const char* fit;
    int status;
  } cases[] = {
      {"v 1 0 0\nv -1.2 0.1 0\nv 0.1 0.9 0.05\nv 0 -1.3 0\nv 0.05 0 1.1\nv 0 0.1 -0.8\n",
       "v 8.2 2.2 0.1\nv 9.8 2 -1.6\nv 10 4 0\nv 10 2.1 2.2\nv 9.8 -0.4 0\nv 12.6 2 0\n", "auto",
       0},
      {"v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1\n",
       "v 8 2 0\nv 10 2 -2\nv 10 4 0\nv 10 2 2\nv 10 0 0\nv 12 2 0\n", "icp", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    WriteFile(dir / "base.obj", std::string(c.base) + faces);
    WriteFile(dir / "moved.obj", c.moved);
    const Result r = Korvane("calc " + (dir / "base.obj") + " " + (dir / "moved.obj") + " -o " +
                             (dir / "m.matrix") + " --force --json --fit " + c.fit);
    EXPECT_EQ(r.status, c.status) << r.out;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["fit"], "icp");
    EXPECT_EQ(j["tried"].size(), c.status == 0 ? 2u : 0u);
    EXPECT_TRUE(j["fits"].get<bool>());
    EXPECT_EQ(j["ambiguous"].get<bool>(), c.status == 4);
    EXPECT_EQ(j["alternatives"].empty(), c.status == 0) << j["alternatives"].size();
  }
}

// Several files at once: every good file is written exactly as a run on its
// own writes it, every failure is listed with its file, the status is 1.
TEST(CliBatch, EveryFileRunsAndEveryFailureIsListed) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir / "out").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "single").c_str(), 0755), 0);
  WriteFile(dir / "m.matrix", "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  std::string inputs;
  std::vector<std::size_t> vertices;
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    cli::MeshOptions mesh;
    mesh.vertices = 500 * seed;
    mesh.seed = seed;
    const std::string name = "mesh" + std::to_string(seed) + ".obj";
    ASSERT_TRUE(cli::WriteSurfaceObj(dir / name, mesh, IdentityMatrix4()));
    inputs += " " + (dir / name);
    vertices.push_back(cli::SurfacePositions(mesh).size());
  }
  WriteFile(dir / "bad.obj", "v 1 2 3\n# fine\nv 1 2 3e999\n");
  ASSERT_EQ(::mkdir((dir / "out/taken.obj").c_str(), 0755), 0);  // an output that cannot be written
  WriteFile(dir / "taken.obj", "v 0 0 0\n");
  inputs += " " + (dir / "bad.obj") + " " + (dir / "missing.obj") + " " + (dir / "taken.obj");

  const Result r =
      Korvane("apply -j 3 --json -m " + (dir / "m.matrix") + inputs + " -o " + (dir / "out"),
              dir / "stderr.txt");
  EXPECT_EQ(r.status, 1);
  const std::string err = ReadFile(dir / "stderr.txt");
  EXPECT_NE(err.find("korvane apply: 3 of 8 files failed:\n"), std::string::npos) << err;
  EXPECT_NE(err.find("  " + (dir / "bad.obj") + " line 3: '3e999' is beyond the range of numbers"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("  cannot open " + (dir / "missing.obj") + "\n"), std::string::npos) << err;
  EXPECT_NE(err.find(dir / "out/taken.obj"), std::string::npos) << err;

  const nlohmann::json summary = nlohmann::json::parse(r.out);
  ASSERT_EQ(summary["files"].size(), 8u);
  EXPECT_EQ(summary["failed"], 3);
  EXPECT_EQ(summary["jobs"], 3);
  for (std::size_t i = 0; i < 8; ++i) {
    const nlohmann::json& f = summary["files"][i];
    const std::string input = f["input"];
    EXPECT_EQ(f["output"], dir / ("out/" + std::filesystem::path(input).filename().string()));
    EXPECT_GE(f["seconds"].get<double>(), 0.0);
    if (i < 5) {
      EXPECT_TRUE(f["error"].is_null()) << f.dump();
      EXPECT_EQ(f["vertices"], vertices[i]) << input;
      EXPECT_EQ(f["bytes"], ReadFile(input).size()) << input;
      // The same bytes as a run of this file on its own.
      const std::string single =
          dir / ("single/" + std::filesystem::path(input).filename().string());
      ASSERT_EQ(
          Korvane("apply -j 1 -q -m " + (dir / "m.matrix") + " " + input + " -o " + single).status,
          0);
      EXPECT_EQ(ReadFile(f["output"]), ReadFile(single)) << input;
    } else {
      EXPECT_TRUE(f["error"].is_string()) << f.dump();
    }
  }
  EXPECT_EQ(summary["files"][5]["error"].get<std::string>().rfind(
                (dir / "bad.obj") + " line 3: '3e999' is beyond the range of numbers", 0),
            0u);
  EXPECT_FALSE(testing::Exists(dir / "out/bad.obj"));
  EXPECT_FALSE(testing::Exists(dir / "out/missing.obj"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "out/taken.obj"));
}

// What korvane apply writes on standard error while one of its inputs, a
// named pipe, holds the work for 1.5 seconds; standard error is a real
// pseudo-terminal or a pipe.
std::string StderrOfSlowBatch(bool terminal, const std::string& flags) {
  ScratchDir dir;
  WriteFile(dir / "m.matrix", "1 0 0 1\n0 1 0 1\n0 0 1 1\n0 0 0 1\n");
  std::vector<std::string> args = {KORVANE_CLI, "apply", "-j", "2", "-m", dir / "m.matrix"};
  for (const char* name : {"a.obj", "b.obj", "c.obj"}) {
    WriteFile(dir / name, "v 1 2 3\nf 1 1 1\n");
    args.push_back(dir / name);
  }
  // The last file's output is a pipe nobody reads yet: writing it holds the
  // work until the test has watched the bar for a while.
  WriteFile(dir / "slow.obj", "v 4 5 6\n");
  args.push_back(dir / "slow.obj");
  EXPECT_EQ(::mkdir((dir / "out").c_str(), 0755), 0);
  EXPECT_EQ(::mkfifo((dir / "out/slow.obj").c_str(), 0600), 0);
  args.push_back("-o");
  args.push_back(dir / "out");
  if (!flags.empty()) args.push_back(flags);

  int fd = -1;
  int pipe_fds[2] = {-1, -1};
  pid_t child;
  if (terminal) {
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    child = ::forkpty(&fd, nullptr, nullptr, &size);
  } else {
    EXPECT_EQ(::pipe(pipe_fds), 0);
    child = ::fork();
    fd = pipe_fds[0];
  }
  if (child == 0) {
    // Only standard error stays on the terminal (or the pipe).
    if (!terminal) ::dup2(pipe_fds[1], 2);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (!terminal) ::close(pipe_fds[1]);

  std::string seen;
  const auto read_for = [&](std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return false;  // the child is gone (EIO on a terminal, EOF on a pipe)
      seen.append(buf, static_cast<std::size_t>(n));
    }
  };
  read_for(std::chrono::milliseconds(1500));
  seen += "<fed>";
  // Not blocking: the worker must be waiting to write the pipe by now.
  std::string written;
  const int slow = ::open((dir / "out/slow.obj").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_GE(slow, 0);
  for (int tries = 0; slow >= 0 && tries < 3000; ++tries) {
    char buf[256];
    const ssize_t n = ::read(slow, buf, sizeof buf);
    if (n > 0) written.append(buf, static_cast<std::size_t>(n));
    if (n == 0 && !written.empty()) break;  // the writer has closed it
    if (n <= 0) ::usleep(10000);
  }
  if (slow >= 0) ::close(slow);
  // Until the child ends; a child still running after 30 seconds is a failure.
  for (int waited = 0; read_for(std::chrono::milliseconds(1000)); ++waited) {
    if (waited == 30) {
      ADD_FAILURE() << "korvane apply did not end";
      ::kill(child, SIGKILL);
    }
  }
  ::close(fd);
  int raw = 0;
  ::waitpid(child, &raw, 0);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
  EXPECT_EQ(written, "v 5.000000 6.000000 7.000000 \n\n");
  return seen;
}

TEST(CliBatch, ProgressBarOnATerminalOnly) {
  const std::string bar = StderrOfSlowBatch(true, "");
  const std::size_t fed = bar.find("<fed>");
  ASSERT_NE(fed, std::string::npos) << bar;
  // While the pipe held the work: three files of four done, redrawn in place.
  const std::string before = bar.substr(0, fed);
  EXPECT_NE(before.find("\r["), std::string::npos) << before;
  EXPECT_NE(before.find("] 3/4 files"), std::string::npos) << before;
  EXPECT_NE(before.find(" left"), std::string::npos) << before;
  EXPECT_GE(std::count(before.begin(), before.end(), '\r'), 3) << before;
  // Then the final line, ended: the terminal shows the line feed as CR LF.
  const std::string after = bar.substr(fed);
  EXPECT_NE(after.find("] 4/4 files"), std::string::npos) << after;
  EXPECT_NE(after.find(" in 0:0"), std::string::npos) << after;
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after.substr(after.size() - 2), "\r\n") << after;

  for (const auto& [terminal, flags] :
       {std::pair<bool, const char*>{true, "--quiet"}, std::pair<bool, const char*>{false, ""}}) {
    const std::string none = StderrOfSlowBatch(terminal, flags);
    EXPECT_EQ(none, "<fed>") << terminal << " " << flags;
  }
}

// Replays that may be wrong say so: each kind of warning on a small real file,
// its first line, in the JSON and on standard error, and --strict refuses it
// with nothing written.
TEST(Cli, ReplayWarnings) {
  ScratchDir dir;
  WriteFile(dir / "turn.matrix", "0 -1 0 1\n1 0 0 2\n0 0 1 3\n0 0 0 1\n");
  WriteFile(dir / "scale.matrix", "2 0 0 1\n0 2 0 2\n0 0 2 3\n0 0 0 1\n");
  WriteFile(dir / "same.matrix", "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  const struct {
    const char* text;
    const char* matrix;
    const char* args;
    const char* kind;  // nullptr: no warning
    int line;
  } cases[] = {
      {"v 0 0 0\nv\t1\t2\t3\nf 1 1 1\n", "turn", "", "not_a_vertex_line", 2},
      {"v 0 0 0\nv 1 0 0\nv 1,5 2,5 3,5\n", "turn", "", "trailing_text", 3},
      {"v 1abc 2 3\n", "turn", "", "trailing_text", 1},
      {"v 0 0 0\nv nan 0 0\n", "turn", "", "non_finite", 2},
      {"# made on an old Mac\rv 1 2 3\rv 4 5 6\r", "turn", "", "carriage_return", 1},
      {"v 0 0 0\nv 1 1 1\nvn 0 0 1\n", "turn", "", "normals_not_turned", 3},
      {"v 0 0 0\nv 1 1 1\nvn 0 0 1\n", "scale", "", nullptr, 0},  // directions kept
      {"v 0 0 0\nv 1 1 1\nvn 0 0 1\n", "turn", "--normals", nullptr, 0},
      // A piece 0.2 mm across, stored in metres: six decimals move it by 0.25% of its size.
      {"v 0 0 0\nv 0.0001234 0.0000567 0.0001891\nv 0.0002 0 0.0000001\n", "same", "", "precision",
       2},
      {"v 0 0 0\nv 0.0001234 0.0000567 0.0001891\n", "same", "--digits shortest", nullptr, 0},
      {"v 1 2 3\nvt 0 1\nf 1 1 1\n", "turn", "", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + c.args);
    WriteFile(dir / "in.obj", c.text);
    std::filesystem::remove(dir / "out.obj");
    const std::string base = "apply -m '" + dir / c.matrix + ".matrix' '" + dir / "in.obj" +
                             "' -o '" + dir / "out.obj" + "' " + c.args;
    const Result json = Korvane(base + " --json", dir / "err.txt");
    ASSERT_EQ(json.status, 0) << json.out;
    const nlohmann::json warnings = nlohmann::json::parse(json.out)["files"][0]["warnings"];
    if (c.kind == nullptr) {
      EXPECT_TRUE(warnings.empty()) << warnings.dump();
      EXPECT_EQ(Korvane(base + " --strict").status, 0);
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u) << warnings.dump();
    EXPECT_EQ(warnings[0]["kind"], c.kind);
    EXPECT_EQ(warnings[0]["line"], c.line);
    EXPECT_EQ(warnings[0]["file"], dir / "in.obj");
    const Result plain = Korvane(base + " -q");
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.out.find("warning: " + dir / "in.obj" + " line " + std::to_string(c.line)),
              std::string::npos)
        << plain.out;
    std::filesystem::remove(dir / "out.obj");
    const Result strict = Korvane(base + " --strict");
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_NE(strict.out.find("nothing was written"), std::string::npos) << strict.out;
    EXPECT_FALSE(testing::Exists(dir / "out.obj"));
  }
}

std::vector<Vector3> Rows(const std::string& obj, const std::string& keyword) {
  std::vector<Vector3> rows;
  std::istringstream in(obj);
  std::string word;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Vector3 p;
    if (fields >> word && word == keyword && fields >> p.x() >> p.y() >> p.z()) rows.push_back(p);
  }
  return rows;
}

// --digits shortest: replay and undo give back every vertex within a rounding,
// where six decimals lose a small mesh's shape. --normals: under a turn and a
// mirror, each face's normals still point the way its corners wind.
TEST(Cli, ReplayDigitsAndNormals) {
  ScratchDir dir;
  cli::MeshOptions mesh;
  mesh.vertices = 2000;
  Matrix4 tiny = IdentityMatrix4();
  tiny.linear() *= 1e-4;  // a 0.2 mm part in metres
  ASSERT_TRUE(cli::WriteSurfaceObj(dir / "in.obj", mesh, tiny));
  // A turn of 30 degrees about (1, 2, 2), scaled by 1e-6, shifted; then its mirror image.
  WriteFile(dir / "m.matrix",
            "7.4402e-07 -2.1e-07 4.3e-07 5e-11\n"
            "4.0402e-07 7.9402e-07 -2.8e-07 -2.5e-11\n"
            "-2.7e-07 4.6e-07 8.4402e-07 2e-10\n0 0 0 1\n");
  const std::vector<Vector3> in = Rows(ReadFile(dir / "in.obj"), "v");
  for (const char* digits : {"shortest", "6"}) {
    SCOPED_TRACE(digits);
    const std::string opts = std::string(" --digits ") + digits + " -q";
    ASSERT_EQ(
        Korvane("apply -m '" + dir / "m.matrix' '" + dir / "in.obj' -o '" + dir / "out.obj'" + opts)
            .status,
        0);
    ASSERT_EQ(Korvane("apply --inverse -m '" + dir / "m.matrix' '" + dir / "out.obj' -o '" +
                      dir / "back.obj'" + opts)
                  .status,
              0);
    const std::vector<Vector3> back = Rows(ReadFile(dir / "back.obj"), "v");
    ASSERT_EQ(back.size(), in.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < in.size(); ++i) worst = std::max(worst, (back[i] - in[i]).norm());
    if (std::string(digits) == "shortest") {
      EXPECT_LT(worst, 1e-18) << "a few roundings of a coordinate near 1e-4";
    } else {
      EXPECT_GT(worst, 1e-5) << "six decimals keep a mesh 1e-6 across?";
    }
  }

  // Each face's corner normal against the normal its winding gives.
  const auto agreement = [](const std::string& obj) {
    const std::vector<Vector3> v = Rows(obj, "v"), n = Rows(obj, "vn");
    std::istringstream text(obj);
    int agree = 0, faces = 0;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("f ", 0) != 0) continue;
      std::istringstream corners(line.substr(2));
      std::vector<std::size_t> vi, ni;
      for (std::string c; corners >> c;) {
        vi.push_back(std::stoul(c) - 1);
        ni.push_back(std::stoul(c.substr(c.rfind('/') + 1)) - 1);
      }
      const Vector3 wound = (v[vi[1]] - v[vi[0]]).cross(v[vi[2]] - v[vi[0]]);
      ++faces;
      if (wound.dot(n[ni[0]]) > 0.0) ++agree;
    }
    return std::make_pair(agree, faces);
  };
  const std::string in_obj = ReadFile(dir / "in.obj");
  const auto [agree_in, faces] = agreement(in_obj);
  ASSERT_GT(faces, 1000);
  WriteFile(dir / "mirror.matrix", "0 -1 0 1\n-1 0 0 2\n0 0 1 3\n0 0 0 1\n");
  // A shear and a flattening do not keep angles: normals need more than the turn.
  WriteFile(dir / "shear.matrix", "1 1.5 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  WriteFile(dir / "flat.matrix", "1 0 0 0\n0 0.5 0 0\n0 0 0.1 0\n0 0 0 1\n");
  const std::vector<Vector3> normals_in = Rows(in_obj, "vn");
  for (const char* motion : {"m", "mirror", "shear", "flat"}) {
    SCOPED_TRACE(motion);
    ASSERT_EQ(Korvane("apply --normals --digits shortest -q -m '" + dir / motion + ".matrix' '" +
                      dir / "in.obj' -o '" + dir / "out.obj'")
                  .status,
              0);
    const std::string out = ReadFile(dir / "out.obj");
    if (motion[0] == 'm') {
      EXPECT_EQ(agreement(out).first, agree_in);
    }
    // A normal stays perpendicular to the surface it was: to every direction
    // perpendicular to it, moved as the surface moves; and on the same side.
    std::istringstream rows(ReadFile(dir / motion + ".matrix"));
    Eigen::Matrix3d l;
    double shift = 0.0;
    for (int r = 0; r < 3; ++r) rows >> l(r, 0) >> l(r, 1) >> l(r, 2) >> shift;
    const std::vector<Vector3> normals = Rows(out, "vn");
    ASSERT_EQ(normals.size(), normals_in.size());
    double worst = 0.0;
    int flipped = 0;
    for (std::size_t i = 0; i < normals.size(); ++i) {
      const Vector3 n = normals_in[i].normalized(), t = n.unitOrthogonal(), u = n.cross(t);
      worst = std::max({worst, std::fabs(normals[i].dot((l * t).normalized())),
                        std::fabs(normals[i].dot((l * u).normalized()))});
      flipped += normals[i].dot(l * n) <= 0.0;
      EXPECT_NEAR(normals[i].norm(), 1.0, 1e-12);
    }
    EXPECT_LT(worst, 1e-12);
    EXPECT_EQ(flipped, 0);
  }
}

// Matrix files korvane apply refuses, each naming the file and line, though
// the DLL's ApplyMatrix (here through `call`) keeps reading them as before.
TEST(CliMatrix, ApplyRefusesWrongMatrixFilesTheDllStillReads) {
  ScratchDir dir;
  WriteFile(dir / "target.obj", "v 1 2 3\nv 4 5 6\nv 0 1 0\n");  // also the DLL's input
  const std::string rows = "1 0 0 5\n0 1 0 0\n0 0 1 0\n0 0 0 1\n";
  const struct {
    const char* name;
    std::string text;
    std::string says;  // after the file's name; empty: accepted
    bool dll_reads;
  } cases[] = {
      {"one_line", "1 0 0 5 0 1 0 0 0 0 1 0 0 0 0 1\n", " line 1: 16 numbers, not four", true},
      {"first_row", "1 0 0 5\n", " line 2: the file ends before this line", true},
      {"gap", "1 0 0 5\n\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", " line 2: 0 numbers, not four", true},
      {"five", "1 0 0 5 7\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", " line 1: 5 numbers, not four", true},
      {"unit", "1 0 0 5mm\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", " line 1: '5mm' is not a number", true},
      {"comma", "1 0 0 0,5\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", " line 1: '0,5' is not a number", true},
      {"text_after", rows + "\nscale 2\n", " line 6: text after the four lines", true},
      {"transposed", "1 0 0 0\n0 1 0 0\n0 0 1 0\n5 0 0 1\n",
       " line 4: the bottom row is not 0 0 0 1; it holds what looks like a shift and the right "
       "column is 0 0 0: transposed?",
       true},
      {"bottom", "1 0 0 5\n0 1 0 0\n0 0 1 0\n0 0 2 1\n",
       " line 4: the bottom row is not 0 0 0 1; a motion's matrix ends with 0 0 0 1", true},
      {"all_zero", "0 0 0 5\n0 0 0 6\n0 0 0 7\n0 0 0 1\n",
       " lines 1 to 3: the turn and scale part (the first three numbers of each line) is singular",
       true},
      {"rank_two", "1 2 3 0\n2 4 6.000000000001 0\n0 1 0 0\n0 0 0 1\n", " lines 1 to 3: ", true},
      {"inf", "1 0 0 inf\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", " line 1: 'inf' is not a finite number",
       false},
      {"plain", rows, "", true},
      {"bom_crlf_blank_tail",
       "\xEF\xBB\xBF"
       "1 0 0 5\r\n0 1 0 0\r\n0 0 1 0\r\n0 0 0 1\r\n\r\n \t\n",
       "", true},
  };
  for (const auto& c : cases) {
    const std::string m = dir / (std::string(c.name) + ".matrix");
    const std::string out = dir / (std::string(c.name) + ".obj");
    WriteFile(m, c.text);
    const Result r = Korvane("apply -q -m " + m + " " + (dir / "target.obj") + " -o " + out);
    if (c.says.empty()) {
      EXPECT_EQ(r.status, 0) << c.name << "\n" << r.out;
      EXPECT_EQ(ReadFile(out),
                "v 6.000000 2.000000 3.000000 \nv 9.000000 5.000000 6.000000 \n"
                "v 5.000000 1.000000 0.000000 \n\n")
          << c.name;
    } else {
      EXPECT_EQ(r.status, 1) << c.name << "\n" << r.out;
      EXPECT_NE(r.out.find("[apply] " + m + c.says), std::string::npos) << c.name << "\n" << r.out;
      EXPECT_FALSE(testing::Exists(out)) << c.name;
    }
    const Result dll = Korvane("call ApplyMatrix --workdir " + dir.path() + " --text " + m);
    EXPECT_EQ(dll.status, c.dll_reads ? 0 : 1) << c.name << "\n" << dll.out;
  }
}

std::vector<Vector3> ObjVertices(const std::string& text) {
  std::vector<Vector3> v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    Vector3 p;
    if (std::sscanf(line.c_str(), "v %lf %lf %lf", &p.x(), &p.y(), &p.z()) == 3) v.push_back(p);
  }
  return v;
}

TEST(CliMatrix, MakeShowInvertCompose) {
  ScratchDir dir;
  const auto run = [&](const std::string& args) {
    const Result r = Korvane("matrix " + args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out;
    return r.out;
  };
  // Quarter turns are exact: the file is what one would write by hand.
  run("make --scale 2 --rotate 0,0,1:90 --translate 1,2,3 -o " + (dir / "a.matrix"));
  EXPECT_EQ(ReadFile(dir / "a.matrix"), " 0 -2  0  1\n 2  0  0  2\n 0  0  2  3\n 0  0  0  1\n");
  const std::string shown = run("show " + (dir / "a.matrix"));
  for (const char* part : {"scale:       2\n", "rotation:    90 degrees about (0, 0, 1)\n",
                           "translation: (1, 2, 3)\n", "determinant: 8\n"}) {
    EXPECT_NE(shown.find(part), std::string::npos) << part << "\n" << shown;
  }
  // make, then show, gives back what was asked for.
  run("make --scale 1.5 --rotate 1,-2,3:-130 --translate 12.5,-340.25,7 -o " + (dir / "b.matrix"));
  const nlohmann::json b = nlohmann::json::parse(run("show --json " + (dir / "b.matrix")));
  EXPECT_NEAR(b["scale"].get<double>(), 1.5, 1e-12);
  EXPECT_NEAR(b["rotation"]["degrees"].get<double>(), 130, 1e-10);
  const Vector3 axis(b["rotation"]["axis"][0], b["rotation"]["axis"][1], b["rotation"]["axis"][2]);
  EXPECT_LT((axis + Vector3(1, -2, 3).normalized()).norm(), 1e-12) << axis.transpose();
  EXPECT_EQ(b["translation"], nlohmann::json::parse("[12.5, -340.25, 7.0]"));
  EXPECT_NEAR(b["determinant"].get<double>(), 1.5 * 1.5 * 1.5, 1e-12);
  EXPECT_EQ(b["similarity"], true);
  EXPECT_EQ(b["kind"], "similarity");
  EXPECT_TRUE(b["decomposition"].is_null());

  // An affine matrix: stretched along x and y, y sheared onto x.
  WriteFile(dir / "c.matrix", "1.25 0.375 0 1\n0 0.8 0 0\n0 0 1 0\n0 0 0 1\n");
  const std::string affine = run("show " + (dir / "c.matrix"));
  for (const char* part :
       {"motion:      affine\n", "stretches:   1.3", "shear:       xy 0.3, xz 0, yz 0\n"})
    EXPECT_NE(affine.find(part), std::string::npos) << part << "\n" << affine;
  const nlohmann::json c = nlohmann::json::parse(run("show --json " + (dir / "c.matrix")));
  EXPECT_EQ(c["kind"], "affine");
  EXPECT_EQ(c["mirror"], false);
  const auto vector = [](const nlohmann::json& v) { return Vector3(v[0], v[1], v[2]); };
  Eigen::Matrix3d stretch = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < 3; ++i) {
    const Vector3 u = vector(c["decomposition"]["axes"][i]);
    stretch += c["decomposition"]["stretches"][i].get<double>() * u * u.transpose();
  }
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(c["rotation"]["degrees"].get<double>() * kPi / 180.0,
                        vector(c["rotation"]["axis"]))
          .matrix();
  Eigen::Matrix3d want;
  want << 1.25, 0.375, 0, 0, 0.8, 0, 0, 0, 1;
  EXPECT_LT((turn * stretch - want).norm(), 1e-12) << c.dump();

  // A motion composed with its inverse is the identity.
  run("invert " + (dir / "b.matrix") + " -o " + (dir / "b_inv.matrix"));
  for (const auto& [first, second] :
       {std::pair{"b.matrix", "b_inv.matrix"}, std::pair{"b_inv.matrix", "b.matrix"}}) {
    const std::string args = "compose " + (dir / first) + " " + (dir / second) + " -o -";
    std::istringstream numbers(run(args));
    Eigen::Matrix4d m;
    for (int i = 0; i < 16; ++i) numbers >> m(i / 4, i % 4);
    ASSERT_FALSE(numbers.fail()) << args;
    EXPECT_LT((m - Eigen::Matrix4d::Identity()).cwiseAbs().maxCoeff(), 1e-12) << args << "\n" << m;
  }

  // compose A B replays as A, then B, on a generated mesh and on a scan Debian ships.
  std::vector<std::string> meshes = {dir / "mesh.obj"};
  ASSERT_TRUE(cli::WriteSurfaceObj(meshes[0], cli::MeshOptions{}, IdentityMatrix4()));
  if (testing::Exists("/usr/share/glmark2/models/bunny.obj"))  // glmark2-data
    meshes.push_back("/usr/share/glmark2/models/bunny.obj");
  run("compose " + (dir / "a.matrix") + " " + (dir / "b.matrix") + " -o " + (dir / "ab.matrix"));
  for (const std::string& mesh : meshes) {
    const auto apply = [&](const std::string& m, const std::string& in, const std::string& out) {
      EXPECT_EQ(Korvane("apply -q -m " + (dir / m) + " " + in + " -o " + (dir / out)).status, 0);
      return ObjVertices(ReadFile(dir / out));
    };
    apply("a.matrix", mesh, "then_a.obj");
    const std::vector<Vector3> one_by_one = apply("b.matrix", dir / "then_a.obj", "then_ab.obj");
    const std::vector<Vector3> composed = apply("ab.matrix", mesh, "ab.obj");
    ASSERT_EQ(composed.size(), one_by_one.size()) << mesh;
    ASSERT_GT(composed.size(), 400u) << mesh;
    double worst = 0;
    for (std::size_t i = 0; i < composed.size(); ++i)
      worst = std::max(worst, (composed[i] - one_by_one[i]).cwiseAbs().maxCoeff());
    // Each file holds six decimals: B carries the first rounding, the last adds its own.
    EXPECT_LT(worst, 4e-6) << mesh;
  }
}

bool HasTemporary(const ScratchDir& dir, const std::string& sub = "") {
  for (const auto& e : std::filesystem::directory_iterator(dir / sub)) {
    if (e.path().filename().string().rfind(".~kv", 0) == 0) return true;
  }
  return false;
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777u : 0u;
}

// Outputs: never an input, another output or (without --force) a read-only
// file; links are written through, devices and pipes written directly, and
// a replaced file keeps its permission bits.
TEST(CliOutputs, RefusedOrWrittenWhereTheyBelong) {
  ScratchDir dir;
  const auto p = [&](const std::string& name) { return dir / name; };
  const std::string base = "v 0 0 0\nv 4 0 0\nv 0 3 0\n";
  const std::string moved = "v 10 20 30\nv 10 28 30\nv 4 20 30\n";
  const std::string replayed =
      "v 10.000000 20.000000 30.000000 \nv 10.000000 28.000000 30.000000 \nv 4.000000 "
      "20.000000 30.000000 \n\n";
  WriteFile(p("b.obj"), base);
  WriteFile(p("m.obj"), moved);
  WriteFile(p("mm.matrix"), "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  ASSERT_EQ(::mkdir(p("a").c_str(), 0755), 0);
  WriteFile(p("a/mesh.obj"), base);
  ASSERT_EQ(::link(p("b.obj").c_str(), p("hard.obj").c_str()), 0);
  ASSERT_EQ(::symlink("b.obj", p("soft.obj").c_str()), 0);
  for (const char* name : {"ro.obj", "ro2.obj", "private.obj", "target.obj"})
    WriteFile(p(name), "earlier\n");
  ASSERT_EQ(::chmod(p("ro.obj").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(p("ro2.obj").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(p("private.obj").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("target.obj", p("link.obj").c_str()), 0);
  ASSERT_EQ(::symlink("new.obj", p("dangling.obj").c_str()), 0);
  // As /dev/stdout is, without putting the machine's at stake should the bug come back.
  ASSERT_EQ(::symlink("/proc/self/fd/1", p("stdout").c_str()), 0);
  ASSERT_EQ(::mkfifo(p("fifo.obj").c_str(), 0644), 0);
  const int fifo = ::open(p("fifo.obj").c_str(), O_RDONLY | O_NONBLOCK);  // a reader waits
  ASSERT_GE(fifo, 0);

  const std::string calc = "calc " + p("b.obj") + " " + p("m.obj");
  const std::string apply = "apply -m " + p("mm.matrix") + " " + p("b.obj");
  const struct {
    std::string args;
    int status;
    std::string says;  // on standard error, or for status 0 the whole standard output
  } cases[] = {
      {calc + " -o " + p("b.obj"), 2,
       "--output " + p("b.obj") + " is the same file as BASE.obj " + p("b.obj")},
      {calc + " -o " + p("hard.obj"), 2, "is the same file as BASE.obj"},
      {calc + " -o " + p("soft.obj"), 2, "is the same file as BASE.obj"},
      {calc + " -o " + p("x.matrix") + " --report " + p("m.obj"), 2, "--report"},
      {calc + " -o " + p("x.matrix") + " --report " + p("x.matrix"), 2, "--report"},
      {calc + " -o - --json", 2, "--output - and --json would both write standard output"},
      {apply + " -o " + p("mm.matrix"), 2, "is the same file as --matrix " + p("mm.matrix")},
      {"apply -m " + p("mm.matrix") + " " + p("a/mesh.obj") + " -o " + p("a"), 2,
       "is the folder of the input " + p("a/mesh.obj") + "; --in-place"},
      {apply + " " + p("m.obj") + " -o -", 2, "standard output (-) takes one input"},
      {apply + " -o " + p("ro.obj"), 2, "--output " + p("ro.obj") + " is read-only (--force"},
      {apply + " -q --force -o " + p("ro2.obj"), 0, ""},
      {apply + " -q -o " + p("private.obj"), 0, ""},
      {apply + " -q -o " + p("link.obj"), 0, ""},
      {apply + " -q -o " + p("dangling.obj"), 0, ""},
      {apply + " -q -o " + p("fifo.obj"), 0, ""},
      {"apply -q --in-place -m " + p("mm.matrix") + " " + p("a/mesh.obj") + " -o " + p("a"), 0, ""},
      {apply + " -o -", 0, replayed},
      {apply + " -o " + p("stdout"), 0, replayed},
      {calc + " -o -", 0, "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n"},
  };
  for (const auto& c : cases) {
    const Result r = Korvane(c.args, p("stderr.txt"));
    const std::string err = ReadFile(p("stderr.txt"));
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out << err;
    if (c.status == 0 && c.says.rfind("0 ", 0) == 0) {
      // The matrix as text: its numbers, whatever their spacing.
      std::istringstream words(r.out);
      std::string w, all;
      while (words >> w) all += (all.empty() ? "" : " ") + (w.find("e-") != w.npos ? "0" : w);
      std::istringstream expected(c.says);
      std::string want;
      while (expected >> w) want += (want.empty() ? "" : " ") + w;
      EXPECT_EQ(all, want) << c.args;
    } else if (c.status == 0) {
      EXPECT_EQ(r.out, c.says) << c.args;
    } else {
      EXPECT_NE(err.find(c.says), std::string::npos) << c.args << "\n" << err;
      if (c.args.find("--json") == std::string::npos) {
        EXPECT_EQ(r.out, "") << c.args;
      }
    }
  }
  // Refused: nothing written. Written: through links, into the pipe, bits kept.
  EXPECT_EQ(ReadFile(p("b.obj")), base);
  EXPECT_EQ(ReadFile(p("m.obj")), moved);
  EXPECT_EQ(ReadFile(p("mm.matrix")), "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  EXPECT_FALSE(testing::Exists(p("x.matrix")));
  EXPECT_EQ(ReadFile(p("ro.obj")), "earlier\n");
  EXPECT_EQ(ReadFile(p("ro2.obj")), replayed);
  EXPECT_EQ(Mode(p("ro2.obj")), 0444u);
  EXPECT_EQ(ReadFile(p("private.obj")), replayed);
  EXPECT_EQ(Mode(p("private.obj")), 0600u);
  EXPECT_EQ(ReadFile(p("target.obj")), replayed);
  EXPECT_EQ(ReadFile(p("new.obj")), replayed);
  EXPECT_EQ(ReadFile(p("a/mesh.obj")), replayed);
  for (const char* link : {"link.obj", "dangling.obj", "soft.obj", "stdout"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(p(link))) << link;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(p("fifo.obj")));
  char buf[512];
  const ssize_t n = ::read(fifo, buf, sizeof buf);
  ::close(fifo);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), replayed);
  EXPECT_FALSE(HasTemporary(dir));
}

// --json: any failure is also one object on standard output naming the file and line.
TEST(CliOutputs, JsonFailuresNameFileAndLine) {
  ScratchDir dir;
  WriteFile(dir / "b.obj", "v 0 0 0\nv 4 0 0\nv 0 3 0\n");
  WriteFile(dir / "bad.obj", "v 0 0 0\nv 4 x 0\nv 0 3 0\n");
  WriteFile(dir / "m.matrix", "1 0 0 1\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  const nlohmann::json null = nullptr;
  const struct {
    std::string args;
    int status;
    std::string message;
    nlohmann::json file, line;
  } cases[] = {
      {"calc " + (dir / "bad.obj") + " " + (dir / "b.obj") + " -o " + (dir / "x.matrix"), 1,
       "line 2: 'x' is not a number", dir / "bad.obj", 2},
      {"calc " + (dir / "none.obj") + " " + (dir / "b.obj"), 1, "cannot open", dir / "none.obj",
       null},
      {"calc " + (dir / "b.obj") + " " + (dir / "b.obj") + " --fit nope", 2, "is not a fit", null,
       null},
      {"apply -m " + (dir / "none.matrix") + " " + (dir / "b.obj") + " -o " + (dir / "o.obj"), 1,
       "cannot open", dir / "none.matrix", null},
      {"matrix show " + (dir / "none.matrix"), 1, "cannot open", dir / "none.matrix", null},
      {"apply -m " + (dir / "m.matrix") + " " + (dir / "b.obj") + " -o " + (dir / "b.obj"), 2,
       "is the same file as", null, null},
      {"apply -m " + (dir / "m.matrix") + " " + (dir / "bad.obj") + " -o " + (dir / "o.obj"), 1,
       "line 2: 'x' is not a number", dir / "bad.obj", 2},
  };
  for (const auto& c : cases) {
    const Result r = Korvane(c.args + " --json", dir / "stderr.txt");
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(ReadFile(dir / "stderr.txt"), "") << "the message stays on standard error";
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object() && j["error"].is_object()) << c.args << "\n" << r.out;
    EXPECT_NE(j["error"]["message"].get<std::string>().find(c.message), std::string::npos) << r.out;
    EXPECT_EQ(j["error"]["file"], c.file) << r.out;
    EXPECT_EQ(j["error"]["line"], c.line) << r.out;
  }
}

// Runs korvane with `args` (standard output to `out`), sends `sig` once
// `started` holds (or after 3 s) and returns its wait status.
int RunAndStop(std::vector<std::string> args, const std::string& out, int sig,
               const std::function<bool()>& started) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open("/dev/null", O_WRONLY), 2);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  for (int i = 0; i < 3000 && !started(); ++i) ::usleep(1000);
  ::kill(child, sig);
  int raw = 0;
  ::waitpid(child, &raw, 0);
  return raw;
}

// SIGINT or SIGTERM during a batch of large files: the files done stay and
// are listed, the others are not written, no temporary file is left.
TEST(CliOutputs, SignalStopsABatchCleanly) {
  ScratchDir dir;
  cli::MeshOptions mesh;
  mesh.vertices = 400000;
  ASSERT_TRUE(cli::WriteSurfaceObj(dir / "in0.obj", mesh, IdentityMatrix4()));
  WriteFile(dir / "m.matrix", "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  std::vector<std::string> args = {KORVANE_CLI, "apply",         "-j", "2", "--json",
                                   "-m",        dir / "m.matrix"};
  constexpr int kFiles = 12;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = dir / ("in" + std::to_string(i) + ".obj");
    if (i > 0) std::filesystem::copy_file(dir / "in0.obj", name);
    args.push_back(name);
  }
  ASSERT_EQ(Korvane("apply -q -m " + (dir / "m.matrix") + " " + (dir / "in0.obj") + " -o " +
                    (dir / "expected.obj"))
                .status,
            0);
  const std::string expected = ReadFile(dir / "expected.obj");
  for (const auto& [sig, status] : {std::pair<int, int>{SIGINT, 130}, {SIGTERM, 143}}) {
    const std::string out = dir / ("out" + std::to_string(sig));
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    std::vector<std::string> a = args;
    a.push_back("-o");
    a.push_back(out);
    // Once the first output is in place, the others are being written or not started yet.
    const int raw = RunAndStop(a, out + ".json", sig, [&] {
      return testing::Exists(out + "/in0.obj") || testing::Exists(out + "/in1.obj");
    });
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == status) << raw;
    EXPECT_FALSE(HasTemporary(dir, "out" + std::to_string(sig)));
    const nlohmann::json summary = nlohmann::json::parse(ReadFile(out + ".json"), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << ReadFile(out + ".json");
    EXPECT_EQ(summary["interrupted"], sig == SIGINT ? "SIGINT" : "SIGTERM");
    const std::size_t listed = summary["files"].size();
    EXPECT_GE(listed, 1u);
    EXPECT_LT(listed, static_cast<std::size_t>(kFiles)) << "the batch ended before the signal";
    for (const nlohmann::json& f : summary["files"]) {
      EXPECT_TRUE(f["error"].is_null());
      EXPECT_EQ(ReadFile(f["output"]), expected) << f["output"];
    }
    std::size_t written = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) {
      ++written;
      (void)e;
    }
    EXPECT_EQ(written, listed) << "only the files listed were written";
  }
}

// The host's ApplyMatrix stopped while it writes applied.obj: the earlier
// applied.obj stays as it was and no temporary file is left.
TEST(CliOutputs, SignalDuringCallLeavesNoTemporary) {
  ScratchDir dir;
  cli::MeshOptions mesh;
  mesh.vertices = 400000;
  ASSERT_TRUE(cli::WriteSurfaceObj(dir / "target.obj", mesh, IdentityMatrix4()));
  WriteFile(dir / "m.matrix", "0 -2 0 10\n2 0 0 20\n0 0 2 30\n0 0 0 1\n");
  for (const auto& [sig, status] : {std::pair<int, int>{SIGINT, 130}, {SIGTERM, 143}}) {
    SCOPED_TRACE(sig);
    WriteFile(dir / "applied.obj", "earlier\n");
    const int raw = RunAndStop(
        {KORVANE_CLI, "call", "ApplyMatrix", "--workdir", dir.path(), "--text", dir / "m.matrix"},
        dir / "stdout.txt", sig, [&] { return HasTemporary(dir); });
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == status) << raw;
    EXPECT_FALSE(HasTemporary(dir));
    EXPECT_EQ(ReadFile(dir / "applied.obj"), "earlier\n") << "finished before the signal?";
  }
}

// Reading errors are told in plain words with the file and line (the DLL keeps std::stod's
// texts); faces calc cannot read are counted, the first line named.
TEST(CliMessages, ReadingErrorsAndSkippedFacesAreTold) {
  ScratchDir dir;
  WriteFile(dir / "m.matrix", "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  const struct {
    const char* obj;
    const char* says;
  } cases[] = {
      {"v 1 2 3\nv 1 2\n",
       "in.obj line 2: a vertex line needs three numbers, x y z; this one has 2"},
      {"v 1 2 3\n\nv\n", "in.obj line 3: a vertex line needs three numbers, x y z; this one has 0"},
      {"v 1 nan 3\nv 1 - 3\n", "in.obj line 2: '-' is not a number"},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "in.obj", c.obj);
    const Result r = Korvane("apply -m " + (dir / "m.matrix") + " " + (dir / "in.obj") + " -o " +
                             (dir / "out.obj"));
    EXPECT_EQ(r.status, 1) << c.obj;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stod"), std::string::npos) << r.out;
  }
  WriteFile(dir / "f.obj",
            "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 2 3\nf 1 2 9\nf 1 x 3\nf 1 2\nf 2 3 4\n");
  const Result r = Korvane("calc " + (dir / "f.obj") + " " + (dir / "f.obj") + " -o " +
                           (dir / "f.matrix") + " --json");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(
      r.out.find("korvane calc: warning: " + (dir / "f.obj") + " line 6: 3 face lines left out"),
      std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// What is not a mesh of ours, or an output named for another format, fails
// in the real host with its name said, exit status 1, nothing written.
TEST(CliFormats, OtherFilesAndOutputsAreRefusedByName) {
  ScratchDir dir;
  WriteFile(dir / "m.matrix", "1 0 0 1\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  WriteFile(dir / "part.fbx",
            std::string("Kaydara FBX Binary  \0\x1a\0", 23) + std::string(64, '\x01'));
  WriteFile(dir / "part.3mf", std::string("PK\x03\x04", 4) + std::string(64, '\0'));
  WriteFile(dir / "part.stl",
            "solid p\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n"
            "vertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid p\n");
  WriteFile(dir / "part.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  struct Case {
    std::string args;
    const char* says;
  };
  const Case cases[] = {
      {"apply -m @m.matrix @part.fbx -o @out.fbx", "looks like a binary FBX file"},
      {"calc @part.fbx @part.obj -o @out.matrix", "looks like a binary FBX file"},
      {"apply -m @m.matrix @part.3mf -o @out.3mf", "looks like a 3MF file"},
      {"apply -m @m.matrix @part.stl -o @out.obj", "names another format than the input"},
      {"apply -m @m.matrix @part.obj -o @out.ply", "names another format than the input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string args = c.args;
    for (std::size_t at; (at = args.find('@')) != std::string::npos;)
      args.replace(at, 1, dir.path());
    const Result r = Korvane(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"m.matrix", "part.3mf", "part.fbx",
                                                       "part.obj", "part.stl"}));
  }
}

}  // namespace
}  // namespace korvane
