#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "text/catalogue.h"

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

bool Platform::ReadFile(std::FILE* file, char* data, std::size_t n, std::size_t& got) {
  got = std::fread(data, 1, n, file);
  return got == n || !std::ferror(file);
}

bool Platform::CopyRange(std::FILE*, std::FILE*, std::size_t, std::size_t& copied) {
  copied = 0;
  return false;
}

void WriteStdoutLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

text::Message DescribeFailure(int err) {
  text::Message m;
  switch (err) {
    case EBUSY:
      // Only Windows' sharing violations read as EBUSY here (LastFailureErrno).
      if (!kIsWindows) break;
      return m.Say(text::kReasonInUse);
    case EACCES:
    case EPERM:
      return m.Say(text::kReasonAccessDenied);
    case ENOSPC:
      return m.Say(text::kReasonDiskFull);
    case EFBIG:
      return m.Say(text::kReasonFileTooLarge);
    case EROFS:
      return m.Say(text::kReasonReadOnlyDisk);
    case ENAMETOOLONG:
      return m.Say(text::kReasonPathTooLong);
    case ENOENT:
      return m.Say(text::kReasonNotFound);
    case EISDIR:
      return m.Say(text::kReasonIsFolder);
    case EIO:
      return m.Say(text::kReasonDiskError);
    case ENOMEM:
      return m.Say(text::kOutOfMemory);
    default:
      break;
  }
  return m.Own(std::strerror(err));
}

std::string UniqueSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  // Mixing the clock in keeps names apart across processes sharing a directory.
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t x = now ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s(12, '0');
  for (char& c : s) {
    c = kHex[x & 15u];
    x >>= 4;
  }
  return s;
}

std::string TemporaryPathBeside(const std::string& target) {
  const std::size_t cut = target.find_last_of(kIsWindows ? "\\/:" : "/");
  const std::string dir = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
  return dir + ".~kv" + UniqueSuffix();
}

}  // namespace korvane::platform
