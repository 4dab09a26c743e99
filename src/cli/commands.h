// The subcommands of korvane, each with its options already parsed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/host.h"
#include "geometry/fit.h"
#include "obj/obj_stream.h"

namespace CLI {
class App;
}  // namespace CLI

namespace korvane::cli {

inline obj::ReplayStyle CheckedStyle() {
  obj::ReplayStyle s;
  s.check = true;
  return s;
}

struct CalcOptions {
  std::string base;
  std::string moved;
  std::string output = "active.matrix";  // "-": standard output
  bool force = false;                    // replace read-only outputs
  geometry::FitOptions fit;              // fit.threads: -j (0: one per processor)
  bool json = false;
  std::string report;  // the HTML page, when not empty
};
int Calc(const CalcOptions& options, CliPlatform& p);

struct ApplyOptions {
  std::string matrix;
  bool inverse = false;
  obj::ReplayStyle style = CheckedStyle();  // --digits, --normals; warnings always counted
  bool strict = false;                      // a warning fails the file
  std::vector<std::string> inputs;
  std::string output;    // "-": standard output
  bool force = false;    // replace read-only outputs
  bool inPlace = false;  // the inputs' own folder may be the output
  unsigned jobs = 0;     // 0: one per processor
  bool quiet = false;
  bool json = false;
};
int Apply(const ApplyOptions& options, CliPlatform& p);

int Demo(std::string dir, std::uint64_t vertices);

struct MatrixOptions {
  std::string input;                // show, invert
  std::vector<std::string> inputs;  // compose
  std::string output;               // "-": standard output
  bool json = false;
  bool force = false;                                   // replace a read-only output
  std::optional<std::string> scale, rotate, translate;  // make
};
// Adds `korvane matrix` and its verbs (show, invert, compose, make) to `app`.
CLI::App* AddMatrixCommand(CLI::App& app, MatrixOptions& options);
// Refuses a missing or unknown verb; `args` follow "matrix" on the command line.
void CheckMatrixVerb(const std::vector<std::string>& args);
// Runs the verb `command` (the matrix subcommand, parsed) holds.
int Matrix(const CLI::App& command, const MatrixOptions& options, CliPlatform& p);

}  // namespace korvane::cli
