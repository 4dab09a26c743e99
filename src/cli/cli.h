#pragma once

namespace korvane::cli {

// Runs the command-line host; returns the process exit status.
int Main(int argc, char** argv);

}  // namespace korvane::cli
