// ShowStatus: the working directory as set, and the auto-loading directory
// read from that directory's ALDirectory.txt each time.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace kvtest {
namespace {

std::wstring StatusText(const std::string& work, const std::string& al_dir) {
  return Widen("Version\n0.1.1\n\nworkDirectory\n" + work + "\n\nALDir\n" + al_dir + "\n\n");
}

// Shows the status box and returns its text; fails unless exactly one box
// captioned "status" appeared.
std::wstring ShowStatus() {
  const Watched w = CallWatched("ShowStatus", "ignored");
  EXPECT_FALSE(w.timedOut);
  if (w.windows.size() != 1 || w.windows[0].kind != SeenWindow::Kind::messageBox) {
    ADD_FAILURE() << "expected one status box, saw " << Describe(w.windows);
    return {};
  }
  EXPECT_EQ(w.windows[0].caption, L"status");
  return w.windows[0].text;
}

TEST(Status, ShowsTheRecordsFirstLine) {
  struct Case {
    const char* name;
    std::optional<std::string> record;  // nullopt: no ALDirectory.txt at all
    std::string shown;
  };
  const Case cases[] = {
      {"no record", std::nullopt, ""},
      {"empty record", std::string(), ""},
      {"no line end", std::string("E:\\x\\"), "E:\\x\\"},
      {"CR LF then more", std::string("D:\\mats\\\r\nsecond"), "D:\\mats\\"},
      {"LF then more", std::string("F:\\y\\\nz\r\n"), "F:\\y\\"},
      {"empty first line", std::string("\r\nG:\\later\\"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    if (c.record) WriteBytes(scratch / "ALDirectory.txt", *c.record);
    Call("SetWorkingDirectory", scratch.Path().c_str());
    EXPECT_EQ(ShowStatus(), StatusText(scratch.Path(), c.shown));
  }
}

// The record sits one separator below the directory whether or not the
// directory text ends with one; the text itself is shown as given.
TEST(Status, RecordIsFoundWithOrWithoutTrailingBackslash) {
  ScratchDir scratch;
  WriteBytes(scratch / "ALDirectory.txt", "K:\\auto\\");
  const std::string with = scratch.Path();
  const std::string without = with.substr(0, with.size() - 1);
  for (const std::string& work : {with, without}) {
    SCOPED_TRACE(work);
    Call("SetWorkingDirectory", work.c_str());
    EXPECT_EQ(ShowStatus(), StatusText(work, "K:\\auto\\"));
  }
}

TEST(Status, SwitchingTheWorkingDirectorySwitchesTheRecord) {
  ScratchDir first;
  ScratchDir second;
  WriteBytes(first / "ALDirectory.txt", "C:\\one\\");
  WriteBytes(second / "ALDirectory.txt", "C:\\two\\\r\n");
  Call("SetWorkingDirectory", first.Path().c_str());
  EXPECT_EQ(ShowStatus(), StatusText(first.Path(), "C:\\one\\"));
  Call("SetWorkingDirectory", second.Path().c_str());
  EXPECT_EQ(ShowStatus(), StatusText(second.Path(), "C:\\two\\"));
  // The record is read again each time, not remembered.
  WriteBytes(second / "ALDirectory.txt", "C:\\three\\");
  EXPECT_EQ(ShowStatus(), StatusText(second.Path(), "C:\\three\\"));
  Call("SetWorkingDirectory", first.Path().c_str());
  EXPECT_EQ(ShowStatus(), StatusText(first.Path(), "C:\\one\\"));
}

}  // namespace
}  // namespace kvtest
