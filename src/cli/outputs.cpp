#include "cli/outputs.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/exit_status.h"
#include "cli/host.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/error.h"

namespace korvane::cli {

std::string OutputName(const std::string& path) {
  return path == "-" ? platform::StandardOutputName() : path;
}

std::string ShownOutput(const std::string& output) {
  return output == platform::StandardOutputName() ? std::string("-") : output;
}

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type cut = path.find_last_of(platform::kIsWindows ? "/\\:" : "/");
  if (cut == std::string::npos) return ".";
  return path.substr(0, cut + 1);
}

void CheckOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool force, bool json) {
  platform::CheckOutputs(inputs, outputs, force, "--force", Error::Kind::usage,
                         json ? "--json" : "");
}

namespace {

std::atomic<int> g_signal{0};
std::atomic<bool> g_graceful{false};
std::atomic<bool> g_json{false};

std::atomic<bool> g_ending{false};

[[noreturn]] void EndNow(int sig) {
  // The signal's thread and the command's may both come here: the first ends
  // the process, the other waits for that.
  if (g_ending.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  platform::RemoveLiveTemporaries();
  std::fprintf(stderr, "korvane: interrupted by %s\n", StopSignalName());
  std::fflush(stderr);
  if (g_json.load()) PrintJsonError(std::string("interrupted by ") + StopSignalName(), {}, 0);
  std::fflush(stdout);
  std::_Exit(kExitSignalBase + sig);
}

// Runs on a thread of its own, never inside a signal handler: it may lock and
// print. A graceful command gets a while to finish by itself; a second signal
// cuts that short.
[[noreturn]] void Stopped(int sig, const std::function<void()>& wait) {
  g_signal.store(sig);
  platform::RequestStop();
  if (g_graceful.load()) wait();
  EndNow(sig);
}

constexpr std::chrono::seconds kGrace{10};

}  // namespace

void CatchStopSignals(bool json) {
  g_json.store(json);
  platform::CatchStopSignals(Stopped, kGrace);
}

void SetGracefulStop(bool graceful) { g_graceful.store(graceful); }

int StopSignal() { return g_signal.load(); }

int StatusAfterStop(int status) {
  const int sig = g_signal.load();
  // A command that is not graceful may see the stop and fail before the
  // signal's thread ends the process: the status is still the signal's.
  if (sig != 0 && status != kExitSignalBase + sig) EndNow(sig);
  return status;
}

const char* StopSignalName() { return g_signal.load() == SIGTERM ? "SIGTERM" : "SIGINT"; }

namespace {
std::mutex g_print;
bool g_printed = false;  // guarded by g_print
}  // namespace

bool PrintJsonOnce(const std::function<void()>& print) {
  // A stop that ends the process while the command prints its own object
  // waits for it, and then adds none: standard output holds one object.
  const std::lock_guard<std::mutex> lock(g_print);
  if (g_printed) return false;
  g_printed = true;
  print();
  std::fflush(stdout);
  return true;
}

void PrintJsonError(const std::string& message, const std::string& file, std::uint64_t line) {
  using Json = nlohmann::ordered_json;
  const Json error = {
      {"error",
       {{"message", message},
        {"file", file.empty() ? Json(nullptr) : Json(platform::ToUtf8(text::Message().Host(file)))},
        {"line", line == 0 ? Json(nullptr) : Json(line)}}}};
  // Paths are bytes: anything that is not UTF-8 is shown as U+FFFD rather than refused.
  const std::string text = error.dump(2, ' ', false, Json::error_handler_t::replace);
  PrintJsonOnce([&] { std::printf("%s\n", text.c_str()); });
}

void PrintJsonErrorOfCurrentException() {
  const text::CurrentException c = text::ClassifyCurrentException(true);
  PrintJsonError(platform::ToUtf8(c.message), c.file, c.line);
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace korvane::cli
