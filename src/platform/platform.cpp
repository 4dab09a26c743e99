#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace korvane::platform {
namespace {
Platform* g_installed = nullptr;
}

Platform& Current() { return g_installed != nullptr ? *g_installed : Native(); }

Platform* Install(Platform* p) {
  Platform* previous = g_installed;
  g_installed = p;
  return previous;
}

void WriteStdoutLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string UniqueSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  // Mixing the clock in keeps names apart across processes sharing a directory.
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t x = now ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s(12, '0');
  for (char& c : s) {
    c = kHex[x & 15u];
    x >>= 4;
  }
  return s;
}

}  // namespace korvane::platform
