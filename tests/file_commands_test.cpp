// Object names, the matrix file dialogs, copies to and from active.matrix,
// the auto-loading directory and its fallback chain.
#include <random>
#include <regex>

#include "api/object_name.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::Exists;
using testing::FakePlatform;
using testing::Invoke;
using testing::ReadFile;
using testing::ScratchDir;
using testing::SetWorkDir;
using testing::WriteFile;

TEST(ExtractObjectName, Examples) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\dir\\Body__part2", "Body"},
      {"C:\\my__dir\\Body", "Body"},
      {"Body", "Body"},
      {"A__B__C", "A"},
      {"Body___x", "Body"},
      {"Body__", "Body__"},
      {"__x", ""},
      {"C:\\dir\\", ""},
      {"", ""},
      {"/scene/mixed\\Body__2", "Body"},
      {"a/b/c", "c"},
      {"\x83t__\x83@", "\x83t"},
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(ExtractObjectName(text), name) << text;
}

TEST(ExtractObjectName, AgreesWithTheTwoRegexReplacements) {
  const std::regex directory("^.*[/\\\\]");
  const std::regex suffix("__.+?$");
  std::mt19937 rng(3);
  const char alphabet[] = {'a', '_', '/', '\\', '\n', '\r', 'b', '.'};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) text += alphabet[rng() % sizeof alphabet];
    const std::string expected =
        std::regex_replace(std::regex_replace(text, directory, ""), suffix, "");
    ASSERT_EQ(ExtractObjectName(text), expected) << ::testing::PrintToString(text);
  }
  EXPECT_EQ(ExtractObjectName(std::string(1 << 20, 'x') + "/y__z"), "y") << "long texts are fine";
}

class FileCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWorkDir(work_.path());
    WriteFile(work_ / "active.matrix", "1 0 0 1\n0 1 0 2\n0 0 1 3\n0 0 0 1\n");
  }
  ScratchDir work_;
  ScratchDir mats_;
  FakePlatform fake_;
};

TEST_F(FileCommandsTest, SaveMatrixOffersTheObjectNameAndCopies) {
  WriteFile(work_ / "ALDirectory.txt", mats_.path());
  fake_.answers = {mats_ / "Body.matrix", std::nullopt};
  ASSERT_TRUE(Invoke("SaveMatrix", "C:\\dir\\Body__part2"));
  ASSERT_TRUE(Invoke("SaveMatrix", "Other"));
  ASSERT_EQ(fake_.dialogs.size(), 2u);
  const platform::FileDialog& d = fake_.dialogs[0];
  EXPECT_TRUE(d.save);
  EXPECT_EQ(d.title, "select .matrix file");
  EXPECT_EQ(d.filter, std::string("Matrix File\0*.matrix\0\0", 22));
  EXPECT_EQ(d.initialFile, "Body.matrix");
  EXPECT_EQ(d.initialDir, mats_.path());
  EXPECT_EQ(d.flags, 0x2u);
  EXPECT_EQ(fake_.dialogs[1].initialFile, "Other.matrix");
  EXPECT_EQ(ReadFile(mats_ / "Body.matrix"), ReadFile(work_ / "active.matrix"));
  EXPECT_EQ(mats_.Entries(), std::vector<std::string>{"Body.matrix"}) << "cancel copies nothing";
  EXPECT_TRUE(fake_.boxes.empty());
}

TEST_F(FileCommandsTest, SaveMatrixNameLimitsAndFailures) {
  fake_.answers = {std::nullopt, std::nullopt, mats_ / "x.matrix"};
  Invoke("SaveMatrix", "");
  Invoke("SaveMatrix", std::string(400, 'n'));
  EXPECT_EQ(fake_.dialogs[0].initialFile, ".matrix");
  EXPECT_EQ(fake_.dialogs[0].initialDir, std::string()) << "no record: the system chooses";
  EXPECT_EQ(fake_.dialogs[1].initialFile, std::string(252, 'n') + ".matrix");
  EXPECT_EQ(fake_.dialogs[1].initialFile.size() + 1, platform::kFileNameBufferSize);
  ASSERT_EQ(std::remove((work_ / "active.matrix").c_str()), 0);
  EXPECT_FALSE(Invoke("SaveMatrix", "x"));
  ASSERT_EQ(fake_.boxes.size(), 1u);
  EXPECT_NE(fake_.boxes[0].text.find("active.matrix"), std::string::npos);
  EXPECT_FALSE(Exists(mats_ / "x.matrix"));
}

// The record may hold anything: only an existing directory whose path fits
// the dialogs' buffers is offered as their starting folder.
TEST_F(FileCommandsTest, DialogsStartOnlyInAnExistingDirectoryThatFits) {
  const auto subdir_of_length = [&](std::size_t length) {
    const std::string dir = mats_.path() + std::string(length - mats_.path().size(), 'L');
    EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0) << dir;
    return dir + "/";
  };
  const std::string longest = subdir_of_length(248);
  const std::string too_long = subdir_of_length(249);
  WriteFile(mats_ / "file.matrix", "1 0 0 0\n");
  struct Case {
    const char* name;
    std::string record;
    std::optional<std::string> offered;
  };
  const Case cases[] = {
      {"directory", mats_.path(), mats_.path()},
      {"248 characters", longest, longest},
      {"without its separator", longest.substr(0, 248), longest.substr(0, 248)},
      {"249 characters", too_long, std::nullopt},
      {"missing", mats_ / "missing/", std::nullopt},
      {"a file", mats_ / "file.matrix", std::nullopt},
      {"1000 bytes", std::string(1000, 'x'), std::nullopt},
      {"a NUL byte", mats_.path() + std::string(1, '\0') + "rest", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(work_ / "ALDirectory.txt", c.record);
    fake_.dialogs.clear();
    Invoke("SaveMatrix", "Body");
    Invoke("SetAutoLodingDirectory");
    ASSERT_EQ(fake_.dialogs.size(), 2u);
    EXPECT_EQ(fake_.dialogs[0].initialDir, c.offered);
    EXPECT_EQ(fake_.dialogs[1].initialDir, c.offered);
  }
}

TEST_F(FileCommandsTest, LoadMatrixOverwriteReplacesActiveMatrix) {
  WriteFile(mats_ / "chosen.matrix", "2 0 0 0\n0 2 0 0\n0 0 2 0\n0 0 0 1\n");
  const std::string before = ReadFile(work_ / "active.matrix");
  fake_.answers = {std::nullopt, mats_ / "missing.matrix", mats_ / "chosen.matrix"};
  Invoke("LoadMatrixOverwrite");
  EXPECT_EQ(ReadFile(work_ / "active.matrix"), before);
  EXPECT_FALSE(Invoke("LoadMatrixOverwrite"));
  EXPECT_EQ(ReadFile(work_ / "active.matrix"), before);
  ASSERT_TRUE(Invoke("LoadMatrixOverwrite"));
  EXPECT_EQ(ReadFile(work_ / "active.matrix"), ReadFile(mats_ / "chosen.matrix"));
  const platform::FileDialog& d = fake_.dialogs[0];
  EXPECT_FALSE(d.save);
  EXPECT_EQ(d.initialFile, "");
  EXPECT_FALSE(d.initialDir.has_value());
  EXPECT_EQ(d.flags, 0x1000u);
  EXPECT_EQ(work_.Entries(), std::vector<std::string>{"active.matrix"});
}

TEST_F(FileCommandsTest, SetAutoLodingDirectoryRecordsTheChosenDirectory) {
  fake_.answers = {std::nullopt, mats_ / "default.matrix", mats_ / "missing/x.matrix",
                   std::string("no-separator")};
  Invoke("SetAutoLodingDirectory");
  EXPECT_FALSE(Exists(work_ / "ALDirectory.txt"));
  Invoke("SetAutoLodingDirectory");
  EXPECT_EQ(ReadFile(work_ / "ALDirectory.txt"), mats_.path());
  EXPECT_FALSE(Exists(mats_ / "default.matrix")) << "the named file is never written";
  Invoke("SetAutoLodingDirectory");
  Invoke("SetAutoLodingDirectory");
  EXPECT_EQ(ReadFile(work_ / "ALDirectory.txt"), mats_.path()) << "missing directories are ignored";
  EXPECT_EQ(fake_.dialogs[1].initialFile, "default.matrix");
  EXPECT_EQ(fake_.dialogs[1].flags, 0u);
  EXPECT_EQ(fake_.dialogs[2].initialDir, mats_.path());
}

TEST_F(FileCommandsTest, DefaultMatrixIsSharedButNeverReplaced) {
  // Only the chosen directory has one: it is copied to the working directory.
  WriteFile(mats_ / "default.matrix", "from mats");
  fake_.answers = {mats_ / "default.matrix"};
  Invoke("SetAutoLodingDirectory");
  EXPECT_EQ(ReadFile(work_ / "default.matrix"), "from mats");
  // Both have one: neither changes.
  WriteFile(work_ / "default.matrix", "from work");
  fake_.answers = {mats_ / "x.matrix"};
  Invoke("SetAutoLodingDirectory");
  EXPECT_EQ(ReadFile(mats_ / "default.matrix"), "from mats");
  EXPECT_EQ(ReadFile(work_ / "default.matrix"), "from work");
  // Only the working directory has one: it goes to the chosen directory.
  ScratchDir other;
  fake_.answers = {other / "default.matrix"};
  Invoke("SetAutoLodingDirectory");
  EXPECT_EQ(ReadFile(other / "default.matrix"), "from work");
}

TEST_F(FileCommandsTest, ApplyALMatrixFallsBackObjectDefaultActive) {
  WriteFile(work_ / "target.obj", "v 0 0 0\n");
  WriteFile(work_ / "ALDirectory.txt", mats_.path());
  const auto applied_x = [&] { return ReadFile(work_ / "applied.obj").substr(0, 12); };
  // Nothing in the directory: active.matrix (x + 1).
  ASSERT_TRUE(Invoke("ApplyALMatrix", "C:\\scene\\Body__part2", -1.0));
  EXPECT_EQ(applied_x(), "v 1.000000 2");
  WriteFile(mats_ / "default.matrix", "1 0 0 5\n");
  ASSERT_TRUE(Invoke("ApplyALMatrix", "C:\\scene\\Body__part2", -1.0));
  EXPECT_EQ(applied_x(), "v 5.000000 0");
  WriteFile(mats_ / "Body.matrix", "1 0 0 7\n");
  ASSERT_TRUE(Invoke("ApplyALMatrix", "C:\\scene\\Body__part2", -1.0));
  EXPECT_EQ(applied_x(), "v 7.000000 0") << "the object's own matrix, never inverted";
  ASSERT_TRUE(Invoke("ApplyALMatrixInverse", "/scene/Body__part2", 1.0));
  EXPECT_EQ(applied_x(), "v -7.000000 ");
  WriteFile(mats_ / ".matrix", "1 0 0 9\n");
  ASSERT_TRUE(Invoke("ApplyALMatrix", "__x"));
  EXPECT_EQ(applied_x(), "v 9.000000 0") << "an empty object name";
  EXPECT_TRUE(fake_.boxes.empty());
}

}  // namespace
}  // namespace korvane
