// Runs a harness on saved inputs without libFuzzer, so that the corpus is a
// regression test in every build (and under the sanitizers of the asan build).
// Arguments are files or directories (their regular files, in name order).
// A failing property aborts, so the first failure ends the run non-zero.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Present only when a sanitizer runtime is linked in.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// Path of the input being run, for the crash report; kept in a fixed buffer
// because signal handlers may not allocate.
char g_current[4096] = "(none)";

void ReportCurrent() {
  const char prefix[] = "\n*** while replaying ";
  const std::size_t n = std::strlen(g_current);
  // Best effort: a failed write here has nowhere to be reported.
  if (write(STDERR_FILENO, prefix, sizeof prefix - 1) < 0) return;
  if (write(STDERR_FILENO, g_current, n) < 0) return;
  if (write(STDERR_FILENO, "\n", 1) < 0) return;
}

extern "C" void OnSignal(int sig) {
  ReportCurrent();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

bool ReadFile(const fs::path& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void Run(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  std::snprintf(g_current, sizeof g_current, "%s", name.c_str());
  static const std::uint8_t kEmpty = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) std::signal(sig, OnSignal);
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(ReportCurrent);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }

  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> inside;
      for (const fs::directory_entry& e : fs::directory_iterator(arg, ec)) {
        if (e.is_regular_file()) inside.push_back(e.path());
      }
      if (ec) {
        std::fprintf(stderr, "cannot list %s: %s\n", argv[i], ec.message().c_str());
        return 2;
      }
      std::sort(inside.begin(), inside.end());
      files.insert(files.end(), inside.begin(), inside.end());
    } else if (fs::is_regular_file(arg, ec)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  // An empty corpus would make the test pass without testing anything.
  if (files.empty()) {
    std::fprintf(stderr, "nothing to replay\n");
    return 2;
  }

  // libFuzzer always tries the empty input first; so does the replay.
  Run("(empty input)", {});
  std::vector<std::uint8_t> bytes;
  for (const fs::path& f : files) {
    if (!ReadFile(f, bytes)) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 2;
    }
    Run(f.string(), bytes);
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
