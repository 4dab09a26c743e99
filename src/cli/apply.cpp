// korvane apply: replay a motion on many files at once. Each file is one job
// for a pool of workers; a failing file does not stop the others. Only the
// main thread prints (file lines, the progress bar, the failures, the JSON).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <set>

#include "api/replay_warnings.h"
#include "api/streaming.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/flag_hints.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "matrix/motion.h"
#include "obj/mesh_format.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "platform/workers.h"
#include "text/error.h"

namespace korvane::cli {
namespace {

struct Job {
  std::string input;
  std::string output;
  std::uint64_t bytes = 0;  // size of the input when the batch started
  // Filled by the worker that ran it.
  std::uint64_t vertices = 0;
  obj::ReplayCounts counts;  // with its warnings
  double seconds = 0.0;
  bool failed = false;
  bool interrupted = false;  // stopped by a signal, or never started
  text::Message error;       // made readable on the main thread, which does all the printing
  std::string errorFile;
  std::uint64_t errorLine = 0;
  bool toStdout = false;  // the output is standard output: no "IN -> OUT" line there
};

// Refuses outputs that are inputs (or the matrix): apply into the inputs'
// own folder needs --in-place, which lets each output replace its own input.
void CheckJobOutputs(const ApplyOptions& o, const std::vector<Job>& jobs, bool to_directory) {
  if (to_directory && !o.inPlace) {
    const std::string folder = platform::FileKey(o.output);
    std::set<std::string> seen;
    for (const Job& j : jobs) {
      const std::string dir = DirectoryOf(j.input);
      if (seen.insert(dir).second && platform::FileKey(dir) == folder) {
        Usage("--output " + o.output + " is the folder of the input " + j.input +
              "; --in-place replaces the inputs there");
      }
    }
  }
  std::vector<NamedPath> inputs = {{"--matrix", o.matrix}};
  std::vector<NamedPath> outputs;
  for (const Job& j : jobs) {
    inputs.push_back({"IN.obj", j.input});
    outputs.push_back({"--output", j.output});
    if (o.inPlace) outputs.back().replaces = inputs.size() - 1;
  }
  CheckOutputs(inputs, outputs, o.force, o.json);
}

std::vector<Job> PlanJobs(const ApplyOptions& o) {
  const bool to_stdout = o.output == "-";
  const bool to_directory = !to_stdout && platform::IsDirectory(o.output);
  if (o.inputs.size() > 1 && to_stdout) Usage("--output: standard output (-) takes one input");
  if (o.inputs.size() > 1 && !to_directory) {
    Usage("--output: with several inputs, -o must name an existing directory");
  }
  // -o /dev/stdout is standard output too, whatever it is (a pipe, a terminal).
  const std::string stdout_key = platform::kIsWindows ? "" : platform::FileKey("/dev/stdout");
  std::vector<Job> jobs;
  std::map<std::string, std::string> taken;  // output -> the input writing it
  for (const std::string& in : o.inputs) {
    Job j;
    j.input = in;
    j.output = to_directory ? WithSeparator(o.output) + BaseName(in) : OutputName(o.output);
    const auto [at, fresh] = taken.emplace(j.output, in);
    if (!fresh)
      Usage("inputs " + at->second + " and " + in + " would both be written to " + j.output);
    j.bytes = platform::RegularFileSize(in);
    j.toStdout = to_stdout || (!stdout_key.empty() && platform::FileKey(j.output) == stdout_key);
    jobs.push_back(std::move(j));
  }
  CheckJobOutputs(o, jobs, to_directory);
  return jobs;
}

// `threads` for the file itself: all of -j for a single file, one each when
// the files themselves run side by side.
void RunJob(Job& job, const geometry::Matrix4& m, unsigned threads, const ApplyOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  try {
    obj::ReplayCounts counts;
    const obj::StreamOptions stream = api::StreamingOptions(threads);
    std::function<void(const obj::ReplayCounts&)> vet;
    if (o.strict) {
      // The first warning in the file is the error; the output stays as it was.
      vet = [&](const obj::ReplayCounts& c) {
        api::RefuseFirstReplayWarning(c, o.style, kFlagReplayHints, job.input,
                                      "; nothing was written (--strict; drop it to write anyway)");
      };
    }
    obj::ReplayMeshFile(job.input, job.output, m, stream, &counts, o.style, vet);
    job.vertices = counts.vertices;
    job.counts = counts;
  } catch (...) {
    text::CurrentException c = text::ClassifyCurrentException(true);
    job.failed = true;
    job.error = std::move(c.message);
    job.errorFile = std::move(c.file);
    job.errorLine = c.line;
  }
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Utf8Path(const std::string& path) {
  return platform::ToUtf8(text::Message().Host(ShownOutput(path)));
}

// Each warning of a file that was written, as "FILE line N: what it means".
template <class F>
void ForEachWarning(const Job& j, const obj::ReplayStyle& style, F&& f) {
  if (j.failed) return;
  api::ForEachReplayWarning(j.counts, [&](obj::ReplayWarningKind k, const obj::ReplayWarning& w) {
    f(k, w, platform::ToUtf8(api::ReplayWarningMessage(k, j.counts, style, kFlagReplayHints)));
  });
}

void PrintJson(const std::vector<Job>& jobs, unsigned workers, double seconds, std::size_t failed,
               const obj::ReplayStyle& style) {
  using Json = nlohmann::ordered_json;
  Json files = Json::array();
  Json error = nullptr;  // the first failure, or the interruption
  for (const Job& j : jobs) {
    if (j.interrupted) continue;  // only what finished is listed
    if (j.failed && error.is_null()) {
      error = {{"message", platform::ToUtf8(j.error)},
               {"file", Utf8Path(j.errorFile.empty() ? j.input : j.errorFile)},
               {"line", j.errorLine == 0 ? Json(nullptr) : Json(j.errorLine)}};
    }
    Json warnings = Json::array();
    ForEachWarning(
        j, style,
        [&](obj::ReplayWarningKind k, const obj::ReplayWarning& w, const std::string& words) {
          warnings.push_back({{"kind", obj::ReplayWarningName(k)},
                              {"count", w.count},
                              {"file", Utf8Path(j.input)},
                              {"line", w.line},
                              {"message", words}});
        });
    files.push_back({{"input", Utf8Path(j.input)},
                     {"output", Utf8Path(j.output)},
                     {"vertices", j.vertices},
                     {"bytes", j.bytes},
                     {"seconds", j.seconds},
                     {"error", j.failed ? nlohmann::ordered_json(platform::ToUtf8(j.error))
                                        : nlohmann::ordered_json(nullptr)},
                     {"warnings", warnings}});
  }
  const bool stopped = StopSignal() != 0;
  if (stopped) {
    error = {{"message", std::string("interrupted by ") + StopSignalName()},
             {"file", nullptr},
             {"line", nullptr}};
  }
  const Json summary = {{"files", files},
                        {"failed", failed},
                        {"jobs", workers},
                        {"seconds", seconds},
                        {"interrupted", stopped ? Json(StopSignalName()) : Json(nullptr)},
                        {"error", error}};
  // Paths are bytes: anything that is not UTF-8 is shown as U+FFFD rather than refused.
  const std::string text =
      summary.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  PrintJsonOnce([&] { std::printf("%s\n", text.c_str()); });
}

}  // namespace

int Apply(const ApplyOptions& o, CliPlatform& p) {
  std::vector<Job> jobs = PlanJobs(o);
  geometry::Matrix4 m;
  try {
    m = matrix::LoadMotionStrict(o.matrix, o.inverse);
  } catch (...) {
    return ReportError("apply", p);
  }

  const auto workers =
      static_cast<unsigned>(std::min<std::size_t>(obj::StreamThreads(o.jobs), jobs.size()));
  // Largest first, so that no big file starts last while the others idle.
  std::vector<std::size_t> order(jobs.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return jobs[a].bytes > jobs[b].bytes; });

  const unsigned per_file = jobs.size() == 1 ? o.jobs : 1u;  // 0: the replay takes every core
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::size_t> finished;  // guarded by mutex
  finished.reserve(jobs.size());      // no allocation, so no failure, inside the workers
  const auto start = std::chrono::steady_clock::now();
  const auto work = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < order.size();) {
      Job& job = jobs[order[k]];
      // Once stopped, the files left are not started; one cut short is not finished.
      const bool run = !platform::StopRequested();
      if (run) RunJob(job, m, per_file, o);
      job.interrupted = !run || (job.failed && platform::StopRequested());
      const std::lock_guard<std::mutex> lock(mutex);
      finished.push_back(order[k]);
      changed.notify_one();
    }
  };
  SetGracefulStop(true);  // the batch winds down itself and reports what finished
  platform::WorkerThreads pool;
  // This thread keeps the progress bar; fewer workers when the system gives fewer.
  if (pool.Start(
          workers, [&](unsigned) { work(); }, 0) == 0)
    work();

  const std::uint64_t total_bytes =
      std::accumulate(jobs.begin(), jobs.end(), std::uint64_t{0},
                      [](std::uint64_t s, const Job& j) { return s + j.bytes; });
  ProgressBar bar(stderr, !o.quiet && platform::StderrIsTerminal(), jobs.size(), total_bytes);
  const std::uint64_t read_at_start = platform::ProcessBytesRead();
  std::size_t files_done = 0;
  std::uint64_t bytes_done = 0;  // of the files finished
  std::vector<std::size_t> now_done;
  now_done.reserve(jobs.size());  // swapped with `finished`, which must not need to grow
  for (;;) {
    now_done.clear();
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return !finished.empty(); });
      now_done.swap(finished);
    }
    for (const std::size_t i : now_done) {
      const Job& j = jobs[i];
      ++files_done;
      bytes_done += j.bytes;
      if (!o.quiet && !o.json && !j.failed && !j.toStdout) {
        bar.Clear();
        std::printf("%s -> %s\n", j.input.c_str(), j.output.c_str());
        std::fflush(stdout);
      }
      if (!o.json) {
        // Even with -q: a replay that may be wrong says so.
        ForEachWarning(
            j, o.style,
            [&](obj::ReplayWarningKind, const obj::ReplayWarning& w, const std::string& words) {
              bar.Clear();
              std::fprintf(stderr, "korvane apply: warning: %s line %llu: %s\n", j.input.c_str(),
                           static_cast<unsigned long long>(w.line), words.c_str());
            });
        std::fflush(stderr);
      }
    }
    if (files_done == jobs.size()) break;
    if (!bar.Due()) continue;
    // Within files still running, what the process has read tells how far they are.
    const std::uint64_t now_read = platform::ProcessBytesRead();
    const std::uint64_t read = now_read > read_at_start ? now_read - read_at_start : 0;
    bar.Update(files_done, std::max(bytes_done, std::min(read, total_bytes)));
  }
  pool.Join();
  bar.Finish(files_done, bytes_done);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const auto failed = static_cast<std::size_t>(std::count_if(
      jobs.begin(), jobs.end(), [](const Job& j) { return j.failed && !j.interrupted; }));
  if (o.json) PrintJson(jobs, workers, seconds, failed, o.style);
  if (failed > 0) {
    std::fprintf(stderr, "korvane apply: %zu of %zu files failed:\n", failed, jobs.size());
    for (const Job& j : jobs) {
      if (j.failed && !j.interrupted) {
        std::fprintf(stderr, "  %s\n", platform::ToUtf8(j.error).c_str());
      }
    }
    std::fflush(stderr);
  }
  if (StopSignal() != 0) {
    const auto left = static_cast<std::size_t>(
        std::count_if(jobs.begin(), jobs.end(), [](const Job& j) { return j.interrupted; }));
    std::fprintf(stderr, "korvane apply: interrupted by %s; %zu of %zu files not finished\n",
                 StopSignalName(), left, jobs.size());
    std::fflush(stderr);
    return kExitSignalBase + StopSignal();
  }
  return failed > 0 ? kExitFailed : kExitDone;
}

}  // namespace korvane::cli
