// The commands that ask the user for a file through the real common dialogs:
// SaveMatrix, LoadMatrixOverwrite and SetAutoLodingDirectory, and the
// auto-loading commands that use the directory chosen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace kvtest {
namespace {

constexpr char kActive[] =
    "   1    0    0   10\r\n   0    1    0   20\r\n   0    0    1   30\r\n"
    "   0    0    0    1\r\n";
constexpr wchar_t kTitle[] = L"select .matrix file";

class DialogTest : public testing::Test {
 protected:
  void SetUp() override {
    Call("SetWorkingDirectory", work().c_str());
    WriteBytes(At("active.matrix"), kActive);
  }

  const std::string& work() const { return scratch_.Path(); }
  std::string At(const std::string& name) const { return scratch_ / name; }

  // Runs the command, expects exactly one file dialog with the usual title
  // (and then whatever boxes `boxes` says) and returns the windows seen.
  std::vector<SeenWindow> Run(const char* command, const char* text, DialogAnswer answer,
                              std::size_t boxes = 0) {
    const Watched w = CallWatched(command, text, 0.0, {answer});
    EXPECT_FALSE(w.timedOut) << Describe(w.windows);
    EXPECT_EQ(w.windows.size(), 1 + boxes) << Describe(w.windows);
    if (w.windows.empty()) return {};
    EXPECT_EQ(w.windows[0].kind, SeenWindow::Kind::fileDialog) << Describe(w.windows);
    EXPECT_EQ(w.windows[0].caption, kTitle);
    for (std::size_t i = 1; i < w.windows.size(); ++i) {
      EXPECT_EQ(w.windows[i].kind, SeenWindow::Kind::messageBox) << Describe(w.windows);
    }
    return w.windows;
  }

  ScratchDir scratch_;
};

TEST_F(DialogTest, SaveMatrixCopiesActiveMatrixToTheChosenFile) {
  const std::string out_dir = scratch_.MakeSubdir("saved");
  const std::string out = out_dir + "out.matrix";

  // Cancelled: nothing anywhere.
  const std::vector<SeenWindow> cancelled =
      Run("SaveMatrix", "C:\\scene\\Body__part2", DialogAnswer::Cancel());
  ASSERT_FALSE(cancelled.empty());
  EXPECT_EQ(cancelled[0].fileName, L"Body.matrix");
  EXPECT_TRUE(ListDirectory(out_dir).empty());

  const std::vector<SeenWindow> saved =
      Run("SaveMatrix", "C:\\scene\\Body__part2", DialogAnswer::Confirm(out));
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(saved[0].fileName, L"Body.matrix");
  EXPECT_EQ(ReadBytes(out), std::string(kActive));
  EXPECT_EQ(ListDirectory(out_dir), std::vector<std::string>{"out.matrix"});
  EXPECT_EQ(ReadBytes(At("active.matrix")), std::string(kActive));

  // An existing file: the dialog asks before replacing it, and is told yes.
  WriteBytes(out, "older and longer contents that must all go\r\n");
  WriteBytes(At("active.matrix"), "2 0 0 0\r\n0 2 0 0\r\n0 0 2 0\r\n0 0 0 1\r\n");
  const std::vector<SeenWindow> replaced = Run("SaveMatrix", "Head", DialogAnswer::Confirm(out), 1);
  ASSERT_EQ(replaced.size(), 2u);
  EXPECT_EQ(replaced[0].fileName, L"Head.matrix");
  EXPECT_FALSE(replaced[1].text.empty()) << Describe(replaced);
  EXPECT_EQ(ReadBytes(out), "2 0 0 0\r\n0 2 0 0\r\n0 0 2 0\r\n0 0 0 1\r\n");
  EXPECT_EQ(ListDirectory(out_dir), std::vector<std::string>{"out.matrix"});
}

TEST_F(DialogTest, SaveMatrixOffersTheObjectNameAsFileName) {
  struct Case {
    const char* text;
    const wchar_t* offered;
  };
  const Case cases[] = {
      {"C:\\scene\\Body__part2", L"Body.matrix"},
      {"Body", L"Body.matrix"},
      {"a/b\\Arm__left__2", L"Arm.matrix"},
      {"C:\\scene\\Leg__", L"Leg__.matrix"},
      {"C:\\scene\\", L".matrix"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::vector<SeenWindow> seen = Run("SaveMatrix", c.text, DialogAnswer::Cancel());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].fileName, c.offered);
  }
}

// The dialog opens in the recorded auto-loading directory, so a bare file
// name is saved there.
TEST_F(DialogTest, SaveMatrixStartsInTheAutoLoadingDirectory) {
  const std::string al_dir = scratch_.MakeSubdir("auto");
  WriteBytes(At("ALDirectory.txt"), al_dir);
  Run("SaveMatrix", "Body__x", DialogAnswer::Confirm("Body.matrix"));
  EXPECT_EQ(ReadBytes(al_dir + "Body.matrix"), std::string(kActive));
}

// The dialog's buffer holds 259 characters and a NUL: a destination that
// long is copied like any other, with no temporary file left beside it.
TEST_F(DialogTest, SaveMatrixToAPathOfMaxPathCharacters) {
  const std::string dir = scratch_.MakeSubdirOfLength(200);
  const std::string name = std::string(259 - 200 - 7, 'm') + ".matrix";
  Run("SaveMatrix", "Body", DialogAnswer::Confirm(dir + name));
  EXPECT_EQ(ReadBytes(dir + name), std::string(kActive));
  EXPECT_EQ(ListDirectory(dir), std::vector<std::string>{name});
}

TEST_F(DialogTest, SaveMatrixWithoutActiveMatrixReportsAndCreatesNothing) {
  DeleteFileA(At("active.matrix").c_str());
  const std::string out_dir = scratch_.MakeSubdir("saved");
  const std::vector<SeenWindow> seen =
      Run("SaveMatrix", "Body", DialogAnswer::Confirm(out_dir + "out.matrix"), 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].caption, L"SaveMatrix");
  EXPECT_NE(seen[1].text.find(Widen(out_dir + "out.matrix")), std::wstring::npos) << Describe(seen);
  EXPECT_TRUE(ListDirectory(out_dir).empty());
}

TEST_F(DialogTest, LoadMatrixOverwriteCopiesTheChosenFileOverActiveMatrix) {
  const std::string in_dir = scratch_.MakeSubdir("library");
  const std::string chosen = in_dir + "turn.matrix";
  const std::string contents = "0 -1 0 0\n1 0 0 0\n0 0 1 0\n0 0 0 1";  // no final line end
  WriteBytes(chosen, contents);

  Run("LoadMatrixOverwrite", "ignored", DialogAnswer::Cancel());
  EXPECT_EQ(ReadBytes(At("active.matrix")), std::string(kActive));

  Run("LoadMatrixOverwrite", "ignored", DialogAnswer::Confirm(chosen));
  EXPECT_EQ(ReadBytes(At("active.matrix")), contents);
  EXPECT_EQ(ReadBytes(chosen), contents);
  EXPECT_EQ(ListDirectory(work()), (std::vector<std::string>{"active.matrix", "library"}));

  // Also when there is no active.matrix yet.
  DeleteFileA(At("active.matrix").c_str());
  Run("LoadMatrixOverwrite", nullptr, DialogAnswer::Confirm(chosen));
  EXPECT_EQ(ReadBytes(At("active.matrix")), contents);

  // A read-only library file still gives a working copy later commands can
  // replace (Windows refuses to replace a read-only file).
  const std::string locked = in_dir + "locked.matrix";
  WriteBytes(locked, kActive);
  ASSERT_NE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY), FALSE);
  Run("LoadMatrixOverwrite", "", DialogAnswer::Confirm(locked));
  EXPECT_EQ(ReadBytes(At("active.matrix")), std::string(kActive));
  const DWORD attrs = GetFileAttributesA(At("active.matrix").c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attrs & FILE_ATTRIBUTE_READONLY, 0u);
  Run("LoadMatrixOverwrite", "", DialogAnswer::Confirm(chosen));
  EXPECT_EQ(ReadBytes(At("active.matrix")), contents);
  EXPECT_EQ(ListDirectory(work()), (std::vector<std::string>{"active.matrix", "library"}));
}

TEST_F(DialogTest, SetAutoLodingDirectoryRecordsTheChosenDirectory) {
  const std::string al_dir = scratch_.MakeSubdir("auto");
  const std::vector<SeenWindow> cancelled =
      Run("SetAutoLodingDirectory", "ignored", DialogAnswer::Cancel());
  ASSERT_FALSE(cancelled.empty());
  EXPECT_EQ(cancelled[0].fileName, L"default.matrix");
  EXPECT_FALSE(Exists(At("ALDirectory.txt")));

  const std::vector<SeenWindow> chosen =
      Run("SetAutoLodingDirectory", "ignored", DialogAnswer::Confirm(al_dir + "default.matrix"));
  ASSERT_FALSE(chosen.empty());
  EXPECT_EQ(chosen[0].fileName, L"default.matrix");
  EXPECT_EQ(ReadBytes(At("ALDirectory.txt")), al_dir);

  // Another directory replaces the record; a cancel keeps it.
  const std::string other = scratch_.MakeSubdir("other");
  Run("SetAutoLodingDirectory", "", DialogAnswer::Confirm(other + "anything.matrix"));
  EXPECT_EQ(ReadBytes(At("ALDirectory.txt")), other);
  Run("SetAutoLodingDirectory", "", DialogAnswer::Cancel());
  EXPECT_EQ(ReadBytes(At("ALDirectory.txt")), other);
}

// A default.matrix present in only one of the two directories is copied to
// the other; one present in both is left alone.
TEST_F(DialogTest, SetAutoLodingDirectorySharesTheDefaultMatrix) {
  const std::string al_dir = scratch_.MakeSubdir("auto");
  WriteBytes(al_dir + "default.matrix", "from the chosen directory\r\n");
  Run("SetAutoLodingDirectory", "", DialogAnswer::Confirm(al_dir + "default.matrix"));
  EXPECT_EQ(ReadBytes(At("default.matrix")), "from the chosen directory\r\n");

  const std::string second = scratch_.MakeSubdir("second");
  WriteBytes(At("default.matrix"), "from the working directory\r\n");
  Run("SetAutoLodingDirectory", "", DialogAnswer::Confirm(second + "default.matrix"));
  EXPECT_EQ(ReadBytes(second + "default.matrix"), "from the working directory\r\n");

  WriteBytes(al_dir + "default.matrix", "kept\r\n");
  Run("SetAutoLodingDirectory", "", DialogAnswer::Confirm(al_dir + "default.matrix"));
  EXPECT_EQ(ReadBytes(al_dir + "default.matrix"), "kept\r\n");
  EXPECT_EQ(ReadBytes(At("default.matrix")), "from the working directory\r\n");
  EXPECT_EQ(ReadBytes(At("ALDirectory.txt")), al_dir);
}

// Whatever ALDirectory.txt holds, the dialogs open (without a starting folder
// when it is not an existing directory that fits them) and the host lives on.
TEST_F(DialogTest, AnyRecordStillOpensTheDialogs) {
  const std::string existing_but_long = scratch_.MakeSubdirOfLength(258);
  const std::string records[] = {
      "C:\\" + std::string(1000, 'a') + "\\",
      std::string(10 << 20, 'b'),
      existing_but_long,
      At("active.matrix"),
  };
  WriteBytes(At("target.obj"), "v 1 2 3\n");
  for (const std::string& record : records) {
    SCOPED_TRACE(record.substr(0, 60) + "... (" + std::to_string(record.size()) + " bytes)");
    WriteBytes(At("ALDirectory.txt"), record);
    Run("SaveMatrix", "Body", DialogAnswer::Cancel());
    Run("SetAutoLodingDirectory", "", DialogAnswer::Cancel());
    EXPECT_EQ(ReadBytes(At("ALDirectory.txt")), record);
    // No object or default matrix there: active.matrix is applied.
    const Watched w = CallWatched("ApplyALMatrix", "Body", 0.0);
    EXPECT_TRUE(w.windows.empty()) << Describe(w.windows);
    EXPECT_EQ(ReadBytes(At("applied.obj")), "v 11.000000 22.000000 33.000000 \r\n\r\n");
  }
}

// Device names are never read. COM1.matrix is the serial port to Windows: in
// the auto-loading search it counts as absent; named directly it is refused.
TEST_F(DialogTest, DeviceNamesAreNeverRead) {
  const std::string al_dir = scratch_.MakeSubdir("auto");
  WriteBytes(At("ALDirectory.txt"), al_dir);
  WriteBytes(al_dir + "default.matrix", "2 0 0 0\n0 2 0 0\n0 0 2 0\n0 0 0 1\n");
  WriteBytes(At("target.obj"), "v 1 2 3\n");
  for (const char* object : {"COM1", "AUX", "NUL", "C:\\scene\\com2__x"}) {
    SCOPED_TRACE(object);
    WriteBytes(At("applied.obj"), "earlier");
    const Watched w = CallWatched("ApplyALMatrix", object, 0.0);
    EXPECT_FALSE(w.timedOut);
    EXPECT_TRUE(w.windows.empty()) << Describe(w.windows);
    EXPECT_EQ(ReadBytes(At("applied.obj")), "v 2.000000 4.000000 6.000000 \r\n\r\n");
  }

  for (const std::string& named :
       {std::string("NUL"), al_dir + "COM1.matrix", std::string("aux")}) {
    SCOPED_TRACE(named);
    WriteBytes(At("applied.obj"), "earlier");
    const Watched w = CallWatched("ApplyMatrix", named.c_str(), 1.0);
    EXPECT_FALSE(w.timedOut);
    ASSERT_EQ(w.windows.size(), 1u) << Describe(w.windows);
    EXPECT_EQ(w.windows[0].caption, L"ApplyMatrix");
    EXPECT_NE(w.windows[0].text.find(L"a device or a pipe, not a file, so it was not read"),
              std::wstring::npos)
        << Describe(w.windows);
    EXPECT_EQ(ReadBytes(At("applied.obj")), "earlier");
  }

  const std::vector<SeenWindow> seen =
      Run("LoadMatrixOverwrite", "", DialogAnswer::Confirm(al_dir + "COM1.matrix"), 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].text.find(L"a device or a pipe"), std::wstring::npos) << Describe(seen);
  EXPECT_EQ(ReadBytes(At("active.matrix")), std::string(kActive));
}

TEST_F(DialogTest, ApplyALMatrixPrefersObjectMatrixThenDefaultThenActive) {
  const std::string al_dir = scratch_.MakeSubdir("auto");
  Run("SetAutoLodingDirectory", "", DialogAnswer::Confirm(al_dir + "default.matrix"));
  ASSERT_EQ(ReadBytes(At("ALDirectory.txt")), al_dir);
  WriteBytes(At("target.obj"), "v 1 2 3\n");

  // Each matrix doubles and moves by its own amount, so the output tells which was used.
  const std::string body = "2 0 0 100\n0 2 0 100\n0 0 2 100\n0 0 0 1\n";
  const std::string fallback = "2 0 0 1000\n0 2 0 1000\n0 0 2 1000\n0 0 0 1\n";
  struct Case {
    const char* name;
    bool body_exists;
    bool default_exists;
    const char* command;
    double value;
    const char* applied;
  };
  const Case cases[] = {
      {"own matrix", true, true, "ApplyALMatrix", 0.0, "v 102.000000 104.000000 106.000000 "},
      {"value ignored", true, true, "ApplyALMatrix", -1.0, "v 102.000000 104.000000 106.000000 "},
      {"own inverse", true, true, "ApplyALMatrixInverse", 1.0,
       "v -49.500000 -49.000000 -48.500000 "},
      {"default", false, true, "ApplyALMatrix", 0.0, "v 1002.000000 1004.000000 1006.000000 "},
      {"default inverse", false, true, "ApplyALMatrixInverse", 0.0,
       "v -499.500000 -499.000000 -498.500000 "},
      {"active", false, false, "ApplyALMatrix", 0.0, "v 11.000000 22.000000 33.000000 "},
      {"active inverse", false, false, "ApplyALMatrixInverse", 0.0,
       "v -9.000000 -18.000000 -27.000000 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileA((al_dir + "Body.matrix").c_str());
    DeleteFileA((al_dir + "default.matrix").c_str());
    if (c.body_exists) WriteBytes(al_dir + "Body.matrix", body);
    if (c.default_exists) WriteBytes(al_dir + "default.matrix", fallback);
    WriteBytes(At("applied.obj"), "sentinel");
    const Watched w = CallWatched(c.command, "C:\\scene\\Body__part2", c.value);
    EXPECT_TRUE(w.windows.empty()) << Describe(w.windows);
    EXPECT_EQ(ReadBytes(At("applied.obj")), std::string(c.applied) + "\r\n\r\n");
  }
}

}  // namespace
}  // namespace kvtest
