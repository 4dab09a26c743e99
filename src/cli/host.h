// What the subcommands of the command-line host share: the platform that shows
// message boxes on standard error, usage errors, and small path helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "geometry/geometry.h"
#include "geometry/motion_parts.h"
#include "platform/platform.h"

namespace korvane::cli {

// Boxes go to standard error as "[caption] text"; dialogs are answered from
// the command line or at the terminal.
class CliPlatform final : public platform::Platform {
 public:
  explicit CliPlatform(platform::Platform& native) : native_(native) {}

  void ShowMessage(const text::Message& caption, const text::Message& text) override;
  bool PathExists(const std::string& path) override { return native_.PathExists(path); }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    return native_.CopyFileReplacing(from, to);
  }
  std::optional<std::string> ShowFileDialog(const platform::FileDialog& d) override;
  void WriteConsoleLine(std::string_view line) override { native_.WriteConsoleLine(line); }
  bool CopyRange(std::FILE* from, std::FILE* to, std::size_t n, std::size_t& copied) override {
    return native_.CopyRange(from, to, n, copied);
  }

  int boxes = 0;
  bool cancel = false;
  bool json = false;            // failures are also a JSON object on standard output
  bool statusToStdout = false;  // ShowStatus's box is the status text on standard output
  std::optional<std::string> answer;

 private:
  platform::Platform& native_;
};

// Raises the usage error (exit status 2) with `text` as its one line.
[[noreturn]] void Usage(const std::string& text);

// Shows the error being handled as a box captioned `what`, through
// text::PlainMessageOfCurrentException; usage errors go on to the caller. Call it
// inside a catch block. Returns the failed status.
int ReportError(const char* what, CliPlatform& p);

// `dir` with a trailing separator.
std::string WithSeparator(std::string dir);
// "(x, y, z)" with 15 significant digits each.
std::string VectorText(const geometry::Vector3& v);
// An affine motion's stretches, each along its axis, and its shear, as lines
// under "  scale:" (each ending in a line feed); empty for a similarity.
std::string StretchLines(const geometry::MotionParts& p);
// The last component of a path.
std::string BaseName(const std::string& path);

}  // namespace korvane::cli
