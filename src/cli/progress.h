// The progress bar of a batch on standard error: files and bytes done, rate,
// time left. It appears only on a terminal and only once the work has run for
// about a second, so short runs and pipes never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvane::cli {

class ProgressBar {
 public:
  using Clock = std::chrono::steady_clock;

  // A bar for `files` files of `bytes` bytes in all; `enabled` false draws nothing.
  ProgressBar(std::FILE* out, bool enabled, std::uint64_t files, std::uint64_t bytes);

  // Redraws with the counts done so far, at most ten times a second and not
  // before the first second has passed.
  void Update(std::uint64_t files_done, std::uint64_t bytes_done);
  // Whether Update would draw now: callers skip gathering counts otherwise.
  bool Due() const;
  // Takes the bar off the line, so that other output can be printed; the next
  // Update draws it again.
  void Clear();
  // Draws the final counts and ends the line, if the bar was ever shown.
  void Finish(std::uint64_t files_done, std::uint64_t bytes_done);

  bool enabled() const { return enabled_; }

  // The line drawn for these counts after `elapsed` seconds, `width` columns wide.
  static std::string Line(std::uint64_t files_done, std::uint64_t files, std::uint64_t bytes_done,
                          std::uint64_t bytes, double elapsed, bool final, std::size_t width);

 private:
  void Draw(const std::string& line);

  std::FILE* out_;
  bool enabled_;
  std::uint64_t files_;
  std::uint64_t bytes_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  bool shown_ = false;      // drawn at least once
  std::size_t onLine_ = 0;  // characters of the bar now on the line
};

}  // namespace korvane::cli
