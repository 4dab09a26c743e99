// What the subcommands write, checked before anything is written: no output
// is one of the inputs or another output, a read-only file is replaced only
// when asked; "-" is standard output. And how a batch stops on Ctrl-C.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/output_rules.h"

namespace korvane::cli {

using platform::NamedPath;

// `path`, or platform::StandardOutputName() for "-".
std::string OutputName(const std::string& path);
// How an output is shown: "-" for standard output.
std::string ShownOutput(const std::string& output);

// platform::CheckOutputs as a usage error (nothing written yet); `json`: the
// report claims standard output.
void CheckOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool force, bool json = false);

// The directory part of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);

// SIGINT and SIGTERM, from here on, stop the command: outputs being written
// are dropped with their temporary files, finished ones stay, and the exit
// status is 128 + the signal. A graceful command (apply) winds down by itself
// and reports what finished; any other ends at once.
void CatchStopSignals(bool json);
void SetGracefulStop(bool graceful);
// The signal that asked to stop; 0 when none did.
int StopSignal();
// "SIGINT" or "SIGTERM".
const char* StopSignalName();
// `status`, unless a stop signal came and the command did not end by it
// itself: then the process ends as the signal ends it (128 + the signal).
int StatusAfterStop(int status);

// Runs `print`, which writes the command's one JSON object on standard output,
// unless an object was printed already (then false): a stop that ends the
// process never adds a second object after the command's own.
bool PrintJsonOnce(const std::function<void()>& print);
// Prints {"error": {"message", "file", "line"}} on standard output; `file`
// empty and `line` 0 print null.
void PrintJsonError(const std::string& message, const std::string& file, std::uint64_t line);
// PrintJsonError for the exception being handled. Call it inside a catch block.
void PrintJsonErrorOfCurrentException();
// True when the command line asks for JSON (before a "--").
bool WantsJson(int argc, char** argv);

}  // namespace korvane::cli
