// Every command that writes, under real failure conditions: it says so, the
// earlier output survives byte for byte, and no temporary file is left.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>

#include "test_support.h"

namespace korvane {
namespace {

using testing::FakePlatform;
using testing::Invoke;
using testing::ReadFile;
using testing::ScratchDir;
using testing::SetWorkDir;
using testing::WriteFile;

constexpr char kBase[] = "v 0 0 0\nv 4 0 0\nv 0 3 0\n";
constexpr char kMoved[] = "v 1 0 0\nv 5 0 0\nv 1 3 0\n";
constexpr char kMatrix[] = "1 0 0 1\n0 1 0 0\n0 0 1 0\n0 0 0 1\n";

// A platform whose answers can also pull the ground from under the command.
class SabotagePlatform : public FakePlatform {
 public:
  bool PathExists(const std::string& path) override {
    const bool exists = FakePlatform::PathExists(path);
    if (exists && path == vanish_after_check) std::remove(path.c_str());
    return exists;
  }
  std::optional<std::string> ShowFileDialog(const platform::FileDialog& d) override {
    if (!vanish_after_dialog.empty()) std::remove(vanish_after_dialog.c_str());
    return FakePlatform::ShowFileDialog(d);
  }
  std::string vanish_after_check;
  std::string vanish_after_dialog;
};

// A working directory holding every input, and earlier outputs to protect.
void Populate(const ScratchDir& d) {
  WriteFile(d / "base.obj", kBase);
  WriteFile(d / "transformed.obj", kMoved);
  WriteFile(d / "target.obj", "v 1 2 3\n");
  WriteFile(d / "m.matrix", kMatrix);
  WriteFile(d / "active.matrix", "earlier active\n");
  WriteFile(d / "applied.obj", "earlier applied\n");
  WriteFile(d / "ALDirectory.txt", "/earlier/");
  WriteFile(d / "saved.matrix", "earlier saved\n");
}

struct Writer {
  const char* command;
  const char* output;  // the file it writes in the working directory
  std::function<std::string(const ScratchDir&)> text;
};

std::vector<Writer> Writers() {
  return {
      {"CalcMatrix", "active.matrix", [](const ScratchDir&) { return std::string(); }},
      {"ApplyMatrix", "applied.obj", [](const ScratchDir& d) { return d / "m.matrix"; }},
      {"SaveMatrix", "saved.matrix", [](const ScratchDir&) { return std::string("saved"); }},
      {"LoadMatrixOverwrite", "active.matrix", [](const ScratchDir&) { return std::string(); }},
      {"SetAutoLodingDirectory", "ALDirectory.txt",
       [](const ScratchDir&) { return std::string(); }},
  };
}

// What the dialog answers for each command (the file to write or read).
std::string DialogAnswer(const Writer& w, const ScratchDir& d) {
  if (std::string(w.command) == "SaveMatrix") return d / "saved.matrix";
  if (std::string(w.command) == "LoadMatrixOverwrite") return d / "m.matrix";
  if (std::string(w.command) == "SetAutoLodingDirectory") return d / "default.matrix";
  return {};
}

bool HasTemporaryFile(const ScratchDir& d) {
  for (const std::string& e : d.Entries()) {
    if (e.find(".~kv") != std::string::npos) return true;
  }
  return false;
}

TEST(Faults, DestinationIsADirectory) {
  for (const Writer& w : Writers()) {
    ScratchDir d;
    Populate(d);
    SetWorkDir(d.path());
    std::remove((d / w.output).c_str());
    ASSERT_EQ(::mkdir((d / w.output).c_str(), 0755), 0);
    WriteFile(d / w.output + "/keep", "inside");
    SabotagePlatform fake;
    fake.answers = {DialogAnswer(w, d)};
    EXPECT_FALSE(Invoke(w.command, w.text(d), 1.0)) << w.command;
    EXPECT_EQ(fake.boxes.size(), 1u) << w.command;
    EXPECT_EQ(ReadFile(d / w.output + "/keep"), "inside") << w.command;
    EXPECT_FALSE(HasTemporaryFile(d)) << w.command;
  }
}

TEST(Faults, FullDevice) {
  for (const Writer& w : Writers()) {
    ScratchDir d;
    Populate(d);
    SetWorkDir(d.path());
    std::remove((d / w.output).c_str());
    ASSERT_EQ(::symlink("/dev/full", (d / w.output).c_str()), 0);
    SabotagePlatform fake;
    fake.answers = {DialogAnswer(w, d)};
    EXPECT_FALSE(Invoke(w.command, w.text(d), 1.0)) << w.command;
    ASSERT_EQ(fake.boxes.size(), 1u) << w.command;
    EXPECT_FALSE(HasTemporaryFile(d)) << w.command;
  }
}

TEST(Faults, WorkingDirectoryMissingOrPathTooLong) {
  ScratchDir d;
  const std::string long_dir = d.path() + std::string(5000, 'l') + "/";
  for (const std::string& work : {d / "missing/", long_dir}) {
    for (const Writer& w : Writers()) {
      SetWorkDir(work);
      SabotagePlatform fake;
      fake.answers = {work + "x.matrix"};
      Invoke(w.command, w.text(d), 1.0);
      EXPECT_GE(fake.boxes.size(), std::string(w.command) == "SetAutoLodingDirectory" ? 0u : 1u)
          << w.command;
    }
    EXPECT_TRUE(d.Entries().empty()) << "nothing was created anywhere";
  }
}

TEST(Faults, FilesThatVanishBetweenSteps) {
  ScratchDir d;
  Populate(d);
  SetWorkDir(d.path());
  {
    // The matrix file passes the existence check, then disappears.
    SabotagePlatform fake;
    fake.vanish_after_check = d / "m.matrix";
    EXPECT_TRUE(Invoke("ApplyMatrix", d / "m.matrix", 1.0));
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].text, "active.matrix オープン失敗");
    EXPECT_EQ(ReadFile(d / "applied.obj"), "earlier applied\n");
  }
  {
    // active.matrix disappears while the save dialog is open.
    SabotagePlatform fake;
    fake.vanish_after_dialog = d / "active.matrix";
    fake.answers = {d / "saved.matrix"};
    EXPECT_FALSE(Invoke("SaveMatrix", "x"));
    EXPECT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(ReadFile(d / "saved.matrix"), "earlier saved\n");
  }
  EXPECT_FALSE(HasTemporaryFile(d));
}

TEST(Faults, SpacesAndNonAsciiNamesJustWork) {
  ScratchDir outer;
  const std::string dir = outer / "dir with spaces \xe6\x97\xa5\xe6\x9c\xac \x83t\x83@/";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  SetWorkDir(dir);
  WriteFile(dir + "base.obj", kBase);
  WriteFile(dir + "transformed.obj", kMoved);
  WriteFile(dir + "target.obj", "v 1 2 3\n");
  SabotagePlatform fake;
  fake.answers = {dir + "saved \xe6\x97\xa5.matrix", dir + "default.matrix"};
  EXPECT_TRUE(Invoke("CalcMatrix"));
  EXPECT_TRUE(Invoke("ApplyMatrix"));
  EXPECT_TRUE(Invoke("SaveMatrix", "Body"));
  EXPECT_TRUE(Invoke("SetAutoLodingDirectory"));
  EXPECT_TRUE(fake.boxes.empty());
  EXPECT_EQ(ReadFile(dir + "applied.obj"), "v 2.000000 2.000000 3.000000 \n\n");
  EXPECT_EQ(ReadFile(dir + "saved \xe6\x97\xa5.matrix"), ReadFile(dir + "active.matrix"));
  EXPECT_EQ(ReadFile(dir + "ALDirectory.txt"), dir);
}

// Destinations at the system's limits: a 255-byte file name and a 4095-byte
// path. Writing them directly works, so replacing them must too, and a
// failure must not leave the temporary file behind. The working directory is
// used byte for byte, so it can carry the start of a file name.
TEST(Faults, DestinationsAtTheNameAndPathLimits) {
  ScratchDir d;
  WriteFile(d / "m.matrix", kMatrix);
  WriteFile(d / "active.matrix", kMatrix);
  std::string deep = d.path();
  while (deep.size() + 200 < 4095 - 11) {
    deep += std::string(200, 'd') + "/";
    ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  }
  struct Case {
    const char* name;
    std::string dir;     // where the files go
    std::string prefix;  // the start of their names
  };
  const Case cases[] = {
      {"255-byte name", d.path(), std::string(255 - 11, 'n')},
      {"4095-byte path", deep, std::string(4095 - 11 - deep.size(), 'p')},
  };
  const auto temporary_files = [](const std::string& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      n += e.path().filename().string().find(".~kv") != std::string::npos;
    }
    return n;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string applied = c.dir + c.prefix + "applied.obj";
    SetWorkDir(c.dir + c.prefix);
    WriteFile(c.dir + c.prefix + "target.obj", "v 1 2 3\n");
    SabotagePlatform fake;
    EXPECT_TRUE(Invoke("ApplyMatrix", d / "m.matrix", 1.0));
    EXPECT_EQ(ReadFile(applied), "v 2.000000 2.000000 3.000000 \n\n");

    SetWorkDir(d.path());
    const std::string saved = c.dir + c.prefix + "Body.matrix";
    fake.answers = {saved};
    EXPECT_TRUE(Invoke("SaveMatrix", "Body"));
    EXPECT_EQ(ReadFile(saved), kMatrix);
    EXPECT_TRUE(fake.boxes.empty()) << fake.boxes[0].text;

    // Where a directory is in the way, the command fails and cleans up.
    ASSERT_EQ(std::remove(applied.c_str()), 0);
    ASSERT_EQ(::mkdir(applied.c_str(), 0755), 0);
    SetWorkDir(c.dir + c.prefix);
    EXPECT_FALSE(Invoke("ApplyMatrix", d / "m.matrix", 1.0));
    EXPECT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(temporary_files(c.dir), 0);
  }
}

// A FIFO or a device where a matrix, mesh or record should be is never read:
// named directly it is refused with a message, in the auto-loading search it
// counts as absent. Reading a FIFO without a writer would wait for ever; the
// alarm turns such a hang into a failed test.
TEST(Faults, DevicesAndPipesAreNeverRead) {
  ScratchDir d;
  Populate(d);
  SetWorkDir(d.path());
  const std::string al = d / "auto/";
  ASSERT_EQ(::mkdir(al.c_str(), 0755), 0);
  WriteFile(d / "ALDirectory.txt", al);
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
  ::alarm(60);

  struct Refused {
    const char* name;
    const char* command;
    std::string text;
    const char* replaced;  // the file in d that must keep its content, and the FIFO in it
  };
  const Refused refused[] = {
      {"matrix named by the text", "ApplyMatrix", d / "fifo", nullptr},
      {"the null device as matrix", "ApplyMatrix", "/dev/null", nullptr},
      {"active.matrix", "ApplyMatrix", "", "active.matrix"},
      {"target.obj", "ApplyMatrix", d / "m.matrix", "target.obj"},
      {"base.obj", "CalcMatrix", "", "base.obj"},
      {"the dialog's answer", "LoadMatrixOverwrite", "", nullptr},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.name);
    if (c.replaced != nullptr) {
      ASSERT_EQ(std::rename((d / c.replaced).c_str(), (d / "kept").c_str()), 0);
      ASSERT_EQ(::mkfifo((d / c.replaced).c_str(), 0644), 0);
    }
    FakePlatform fake;
    fake.answers = {d / "fifo"};
    EXPECT_FALSE(Invoke(c.command, c.text, 1.0));
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_NE(fake.boxes[0].text.find("a device or a pipe, not a file, so it was not read"),
              std::string::npos)
        << fake.boxes[0].text;
    if (c.replaced != nullptr) {
      ASSERT_EQ(std::rename((d / "kept").c_str(), (d / c.replaced).c_str()), 0);
    }
    EXPECT_EQ(ReadFile(d / "active.matrix"), "earlier active\n");
    EXPECT_EQ(ReadFile(d / "applied.obj"), "earlier applied\n");
  }

  // The auto-loading search passes over them: the object's FIFO, then the
  // default matrix, then a FIFO default too, then active.matrix.
  WriteFile(d / "active.matrix", kMatrix);
  WriteFile(al + "default.matrix", "2 0 0 0\n0 2 0 0\n0 0 2 0\n0 0 0 1\n");
  ASSERT_EQ(::mkfifo((al + "Body.matrix").c_str(), 0644), 0);
  FakePlatform fake;
  EXPECT_TRUE(Invoke("ApplyALMatrix", "Body__1"));
  EXPECT_EQ(ReadFile(d / "applied.obj"), "v 2.000000 4.000000 6.000000 \n\n");
  ASSERT_EQ(std::remove((al + "default.matrix").c_str()), 0);
  ASSERT_EQ(::mkfifo((al + "default.matrix").c_str(), 0644), 0);
  EXPECT_TRUE(Invoke("ApplyALMatrix", "Body__1"));
  EXPECT_EQ(ReadFile(d / "applied.obj"), "v 2.000000 2.000000 3.000000 \n\n");
  // A FIFO record counts as no record.
  ASSERT_EQ(std::remove((d / "ALDirectory.txt").c_str()), 0);
  ASSERT_EQ(::mkfifo((d / "ALDirectory.txt").c_str(), 0644), 0);
  EXPECT_TRUE(Invoke("SaveMatrix", "Body"));
  ASSERT_EQ(fake.dialogs.size(), 1u);
  EXPECT_EQ(fake.dialogs[0].initialDir, std::string());
  EXPECT_TRUE(fake.boxes.empty());
  ::alarm(0);
}

// Runs `body` in a child process without root's power over permissions;
// returns the child's exit status (0 when every check passed).
int AsUnprivilegedUser(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(Faults, ReadOnlyWorkingDirectory) {
  for (const Writer& w : Writers()) {
    ScratchDir d;
    Populate(d);
    ASSERT_EQ(::chmod(d.path().c_str(), 0555), 0);
    for (const std::string& e : d.Entries()) ::chmod((d / e).c_str(), 0444);
    const int status = AsUnprivilegedUser([&] {
      SetWorkDir(d.path());
      SabotagePlatform fake;
      fake.answers = {DialogAnswer(w, d)};
      const bool ok = Invoke(w.command, w.text(d), 1.0);
      if (ok) return 1;
      if (fake.boxes.size() != 1) return 2;
      return 0;
    });
    EXPECT_EQ(status, 0) << w.command;
    ::chmod(d.path().c_str(), 0755);
    EXPECT_EQ(ReadFile(d / "active.matrix"), "earlier active\n") << w.command;
    EXPECT_EQ(ReadFile(d / "applied.obj"), "earlier applied\n") << w.command;
    EXPECT_EQ(ReadFile(d / "ALDirectory.txt"), "/earlier/") << w.command;
    EXPECT_EQ(ReadFile(d / "saved.matrix"), "earlier saved\n") << w.command;
    EXPECT_FALSE(HasTemporaryFile(d)) << w.command;
  }
}

}  // namespace
}  // namespace korvane
