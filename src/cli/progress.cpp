#include "cli/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "platform/platform.h"

namespace korvane::cli {
namespace {

constexpr std::chrono::milliseconds kFirstDraw{1000};
constexpr std::chrono::milliseconds kRedraw{100};

std::string Bytes(std::uint64_t n) {
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1000.0 && u < 4) {
    v /= 1000.0;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

std::string Duration(double seconds) {
  const auto s = static_cast<std::uint64_t>(std::llround(seconds));
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60,
                  s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return buf;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, bool enabled, std::uint64_t files, std::uint64_t bytes)
    : out_(out), enabled_(enabled), files_(files), bytes_(bytes), start_(Clock::now()) {}

std::string ProgressBar::Line(std::uint64_t files_done, std::uint64_t files,
                              std::uint64_t bytes_done, std::uint64_t bytes, double elapsed,
                              bool final, std::size_t width) {
  const double rate = elapsed > 0.0 ? static_cast<double>(bytes_done) / elapsed : 0.0;
  char counts[64];
  std::snprintf(counts, sizeof counts, "%" PRIu64 "/%" PRIu64 " files", files_done, files);
  std::string text = counts;
  if (final) {
    text += "  " + Bytes(bytes_done) + " in " + Duration(elapsed) + " (" +
            Bytes(static_cast<std::uint64_t>(rate)) + "/s)";
  } else {
    text += "  " + Bytes(bytes_done) + " of " + Bytes(bytes) + "  " +
            Bytes(static_cast<std::uint64_t>(rate)) + "/s  ";
    // Files of unknown size (pipes) may still be running when the known bytes are done.
    if (bytes_done > 0 && rate > 0.0 && bytes > bytes_done) {
      text += Duration(static_cast<double>(bytes - bytes_done) / rate) + " left";
    } else {
      text += "-:-- left";
    }
  }
  // The bar takes what the text leaves of the line, between 10 and 40 columns;
  // one column stays free so the cursor never wraps.
  const std::size_t room = width > text.size() + 4 ? width - text.size() - 4 : 0;
  const std::size_t bar = std::min<std::size_t>(40, room);
  if (bar < 10) return text.substr(0, width > 1 ? width - 1 : 0);
  double fraction =
      bytes > 0 ? static_cast<double>(bytes_done) / static_cast<double>(bytes)
                : (files > 0 ? static_cast<double>(files_done) / static_cast<double>(files) : 1.0);
  fraction = std::clamp(fraction, 0.0, 1.0);
  auto filled = static_cast<std::size_t>(fraction * static_cast<double>(bar));
  if (!final && files_done < files) filled = std::min(filled, bar - 1);  // full means finished
  return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + text;
}

void ProgressBar::Draw(const std::string& line) {
  // Carriage return, the new line, then spaces over what is left of the old one.
  std::string out = "\r" + line;
  if (line.size() < onLine_) out += std::string(onLine_ - line.size(), ' ') + "\r" + line;
  std::fputs(out.c_str(), out_);
  std::fflush(out_);
  onLine_ = line.size();
  shown_ = true;
}

bool ProgressBar::Due() const {
  if (!enabled_) return false;
  const Clock::time_point now = Clock::now();
  return !(now - start_ < kFirstDraw || (onLine_ > 0 && now - lastDraw_ < kRedraw));
}

void ProgressBar::Update(std::uint64_t files_done, std::uint64_t bytes_done) {
  if (!Due()) return;
  const Clock::time_point now = Clock::now();
  lastDraw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  Draw(Line(files_done, files_, bytes_done, bytes_, elapsed, false, platform::StderrColumns()));
}

void ProgressBar::Clear() {
  if (onLine_ == 0) return;
  std::fputs(("\r" + std::string(onLine_, ' ') + "\r").c_str(), out_);
  std::fflush(out_);
  onLine_ = 0;
}

void ProgressBar::Finish(std::uint64_t files_done, std::uint64_t bytes_done) {
  if (!shown_) return;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  Draw(Line(files_done, files_, bytes_done, bytes_, elapsed, true, platform::StderrColumns()));
  std::fputs("\n", out_);
  std::fflush(out_);
  onLine_ = 0;
}

}  // namespace korvane::cli
