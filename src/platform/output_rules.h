// The rules every host keeps before it writes a file: no output is one of the
// files being read (the matrix included) or another output, or a loop of
// symbolic links; a read-only file is replaced only when asked.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "text/error.h"

namespace korvane::platform {

// A file a command reads or writes, with the name it goes by in messages
// ("--output", "IN.obj", "the matrix file" ...).
struct NamedPath {
  std::string option;
  std::string path;
  // For an output: the index of the input it may replace (apply --in-place).
  std::size_t replaces = static_cast<std::size_t>(-1);
};

// Raises korvane::Error of `kind` (nothing written yet) when an output is the
// same file as an input or another output (also through a hard or symbolic
// link), a loop of symbolic links, or a read-only file while
// `force` is false (with `force`, it is made replaceable; `force_name` is how
// the caller spells it, "--force"). StandardOutputName()
// and "-" are standard output: `stdout_taken`, when not empty, names what
// already writes there, and only one may.
void CheckOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool force, const std::string& force_name, Error::Kind kind,
                  std::string stdout_taken = {});

}  // namespace korvane::platform
