// Shared test fixtures: a platform that records what the user would see and
// answers dialogs, and scratch directories on the real file system.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "api/commands.h"
#include "api/globals.h"
#include "matrix/verdict.h"
#include "platform/platform.h"
#include "text/error.h"

namespace korvane {
// Tests reach into every room of the library by its plain names.
namespace api {}
namespace cli {}
namespace geometry {}
namespace matrix {}
namespace obj {}
using namespace api;
using namespace cli;
using namespace geometry;
using namespace matrix;
using namespace obj;
}  // namespace korvane

namespace korvane::testing {

// A fit's verdict as the library words it, in English.
inline std::string VerdictText(const matrix::FitReport& r) {
  return platform::ToUtf8(matrix::VerdictMessage(r, matrix::kLibraryHints));
}

struct Box {
  std::string caption;  // UTF-8
  std::string text;     // UTF-8
};

class FakePlatform : public platform::Platform {
 public:
  FakePlatform() : previous_(platform::Install(this)) {}
  ~FakePlatform() override { platform::Install(previous_); }

  void ShowMessage(const text::Message& caption, const text::Message& text) override {
    boxes.push_back({platform::ToUtf8(caption), platform::ToUtf8(text)});
  }
  bool PathExists(const std::string& path) override { return platform::Native().PathExists(path); }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    copies.emplace_back(from, to);
    return platform::Native().CopyFileReplacing(from, to);
  }
  std::optional<std::string> ShowFileDialog(const platform::FileDialog& d) override {
    dialogs.push_back(d);
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> a = answers.front();
    answers.pop_front();
    return a;
  }
  void WriteConsoleLine(std::string_view line) override { console.emplace_back(line); }

  std::vector<Box> boxes;
  std::vector<std::string> console;
  std::vector<platform::FileDialog> dialogs;
  std::vector<std::pair<std::string, std::string>> copies;
  std::deque<std::optional<std::string>> answers;  // nullopt: the user cancels

 private:
  platform::Platform* previous_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A fresh directory under the test's temporary area, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "korvane-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern + "/";
  }
  ~ScratchDir() {
    const std::string cmd = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    (void)std::system(cmd.c_str());
  }
  // The directory with its trailing separator, as hosts pass it.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }
  // Names of the entries, sorted, to prove no temporary file was left.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

// The bytes of an error's message, pieces joined as they were given.
inline std::string MessageBytes(const Error& e) {
  std::string out;
  for (const auto& piece : e.message().pieces()) out += piece.bytes;
  return out;
}

// Runs a command the way the export does.
inline bool Invoke(const char* name, const std::string& text = {}, double value = 0.0,
                   bool null_text = false) {
  CommandArgs args;
  args.text = null_text ? nullptr : text.c_str();
  args.value = value;
  const CommandInfo* c = FindCommand(name);
  EXPECT_NE(c, nullptr) << name;
  return c != nullptr && RunCommand(*c, args);
}

inline void SetWorkDir(const std::string& dir) { WorkDirectory() = dir; }

// A C locale whose decimal point is a comma, made current for the object's
// lifetime: an installed one, or one built with localedef into a temporary
// directory when the host has none. name() is empty when neither worked.
class CommaCLocale {
 public:
  CommaCLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8"}) {
      if (Try(name)) return;
    }
    char tmpl[] = "/tmp/korvane_locale_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    const std::string cmd =
        "localedef -i de_DE -f UTF-8 '" + dir_ + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    setenv("LOCPATH", dir_.c_str(), 1);
    Try("de_DE.UTF-8");
  }
  ~CommaCLocale() {
    std::setlocale(LC_ALL, "C");
    if (!dir_.empty()) {
      unsetenv("LOCPATH");
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  const std::string& name() const { return name_; }

 private:
  bool Try(const char* name) {
    if (std::setlocale(LC_ALL, name) == nullptr) return false;
    if (std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
      std::setlocale(LC_ALL, "C");
      return false;
    }
    name_ = name;
    return true;
  }
  std::string dir_;
  std::string name_;
};

}  // namespace korvane::testing
