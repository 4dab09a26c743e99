// The command surface: the table, the version, the working directory, the
// auto-loading record and how errors inside a command reach the user.
#include <cstring>
#include <stdexcept>

#include "api/al_directory.h"
#include "api/status.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::FakePlatform;
using testing::Invoke;
using testing::ReadFile;
using testing::ScratchDir;
using testing::SetWorkDir;
using testing::WriteFile;

TEST(CommandTable, FifteenNamesInByteWiseOrder) {
  const char* expected[] = {
      "ApplyALMatrix",          "ApplyALMatrixInverse", "ApplyMatrix",
      "ApplyMatrixInverse",     "CalcMatrix",           "ClearObject",
      "LoadMatrixComposite",    "LoadMatrixOverwrite",  "SaveMatrix",
      "SetAutoLodingDirectory", "SetBaseObject",        "SetTransformedObject",
      "SetWorkingDirectory",    "ShowStatus",           "Version"};
  for (int i = 0; i < kCommandCount; ++i) {
    EXPECT_STREQ(kCommands[i].name, expected[i]);
    if (i > 0) {
      EXPECT_LT(std::strcmp(kCommands[i - 1].name, kCommands[i].name), 0);
    }
    EXPECT_EQ(FindCommand(expected[i]), &kCommands[i]);
  }
  EXPECT_EQ(FindCommand("applymatrix"), nullptr);
}

TEST(Version, CopiesAtMostSize2BytesAndTerminates) {
  struct Case {
    std::int32_t size2;
    const char* expected;  // nullptr: nothing written
  } cases[] = {{6, "0.1.1"}, {64, "0.1.1"}, {5, "0.1."},  {4, "0.1"},
               {1, ""},      {0, nullptr},  {-3, nullptr}};
  for (const Case& c : cases) {
    char buf1[8] = "keep";
    char buf2[80];
    std::memset(buf2, '#', sizeof buf2);
    CommandArgs args;
    args.buf1 = buf1;
    args.size1 = 8;
    args.buf2 = buf2;
    args.size2 = c.size2;
    ASSERT_TRUE(RunCommand(*FindCommand("Version"), args));
    EXPECT_STREQ(buf1, "keep");
    if (c.expected == nullptr) {
      EXPECT_EQ(buf2[0], '#') << c.size2;
      continue;
    }
    EXPECT_STREQ(buf2, c.expected) << c.size2;
    // Nothing past the terminating zero.
    EXPECT_EQ(buf2[std::strlen(c.expected) + 1], '#') << c.size2;
  }
  CommandArgs null_buffer;
  null_buffer.size2 = 6;
  EXPECT_TRUE(RunCommand(*FindCommand("Version"), null_buffer));
}

TEST(WorkingDirectory, TakesTextVerbatimAndLastCallWins) {
  Invoke("SetWorkingDirectory", "C:\\first\\");
  Invoke("SetWorkingDirectory", "  odd/dir  ");
  EXPECT_EQ(WorkDirectory(), "  odd/dir  ");
  Invoke("SetWorkingDirectory", "", 0.0, /*null_text=*/true);
  EXPECT_EQ(WorkDirectory(), "");
  Invoke("SetWorkingDirectory", "/w/");
  EXPECT_EQ(JoinDirect(kTargetObjName), "/w/target.obj");
  // Names joined with the separator get a second one after a trailing separator.
  EXPECT_EQ(JoinWithSeparator(kActiveMatrixName), "/w//active.matrix");
  SetWorkDir("");
  EXPECT_EQ(JoinWithSeparator(kRecordName), "/ALDirectory.txt");
}

TEST(NoOperationCommands, ChangeNothing) {
  ScratchDir dir;
  FakePlatform fake;
  SetWorkDir(dir.path());
  WriteFile(dir / "ALDirectory.txt", "/mats/");
  for (const char* name :
       {"ClearObject", "LoadMatrixComposite", "SetBaseObject", "SetTransformedObject"}) {
    EXPECT_TRUE(Invoke(name, "anything", -1.0));
  }
  EXPECT_EQ(WorkDirectory(), dir.path());
  EXPECT_EQ(ReadFile(dir / "ALDirectory.txt"), "/mats/");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"ALDirectory.txt"});
  EXPECT_TRUE(fake.boxes.empty());
}

TEST(AutoLoadingRecord, ReadsFirstLineOfThisDirectorysRecord) {
  ScratchDir a;
  ScratchDir b;
  struct Case {
    const char* content;
    const char* expected;
  } cases[] = {{"/mats/", "/mats/"},
               {"/mats/\r\nsecond\n", "/mats/"},
               {"/mats/\nsecond", "/mats/"},
               {"", ""},
               {"\n/late/", ""}};
  for (const Case& c : cases) {
    SetWorkDir(a.path());
    WriteFile(a / "ALDirectory.txt", c.content);
    EXPECT_EQ(ReadALDirectory(), c.expected) << c.content;
  }
  SetWorkDir(b.path());
  EXPECT_EQ(ReadALDirectory(), "") << "no record in the second directory";
  WriteFile(b / "ALDirectory.txt", "/other/");
  EXPECT_EQ(ReadALDirectory(), "/other/");
}

TEST(AutoLoadingRecord, WritesOnlyExistingDirectoriesWithoutLineEnd) {
  ScratchDir dir;
  SetWorkDir(dir.path());
  EXPECT_FALSE(WriteALDirectory(dir / "missing/"));
  EXPECT_FALSE(testing::Exists(dir / "ALDirectory.txt"));
  EXPECT_TRUE(WriteALDirectory(dir.path()));
  EXPECT_EQ(ReadFile(dir / "ALDirectory.txt"), dir.path());
  EXPECT_FALSE(WriteALDirectory(dir / "missing/"));
  EXPECT_EQ(ReadFile(dir / "ALDirectory.txt"), dir.path())
      << "a refused directory keeps the record";
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"ALDirectory.txt"});
}

TEST(Status, NineLinesWithLineFeedsOnly) {
  ScratchDir dir;
  FakePlatform fake;
  SetWorkDir(dir.path());
  EXPECT_EQ(BuildStatusText(),
            "Version\n0.1.1\n\nworkDirectory\n" + dir.path() + "\n\nALDir\n\n\n");
  WriteFile(dir / "ALDirectory.txt", "/mats/\r\nignored\n");
  ASSERT_TRUE(Invoke("ShowStatus"));
  ASSERT_EQ(fake.boxes.size(), 1u);
  EXPECT_EQ(fake.boxes[0].caption, "status");
  EXPECT_EQ(fake.boxes[0].text,
            "Version\n0.1.1\n\nworkDirectory\n" + dir.path() + "\n\nALDir\n/mats/\n\n");
}

void ThrowsCharPointer(const CommandArgs&) { throw "plain text"; }
void ThrowsStd(const CommandArgs&) { throw std::runtime_error("standard error"); }
void ThrowsInt(const CommandArgs&) { throw 42; }

TEST(RunCommand, CatchesEverythingAndShowsIt) {
  FakePlatform fake;
  const CommandInfo commands[] = {{"A", &ThrowsCharPointer}, {"B", &ThrowsStd}, {"C", &ThrowsInt}};
  for (const CommandInfo& c : commands) EXPECT_FALSE(RunCommand(c, CommandArgs{}));
  ASSERT_EQ(fake.boxes.size(), 3u);
  EXPECT_EQ(fake.boxes[0].caption, "A");
  EXPECT_EQ(fake.boxes[0].text, "plain text");
  EXPECT_EQ(fake.boxes[1].text, "standard error");
  EXPECT_EQ(fake.boxes[2].caption, "C");
  EXPECT_FALSE(fake.boxes[2].text.empty());
}

TEST(RunCommand, NullTextReadsAsEmptyForEveryCommand) {
  ScratchDir dir;
  FakePlatform fake;
  SetWorkDir(dir.path());
  for (const CommandInfo& c : kCommands) {
    if (std::strcmp(c.name, "SetWorkingDirectory") == 0) continue;
    CommandArgs args;  // null text, null buffers
    RunCommand(c, args);
  }
  EXPECT_EQ(WorkDirectory(), dir.path());
}

}  // namespace
}  // namespace korvane
