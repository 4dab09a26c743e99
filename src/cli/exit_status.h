// The exit statuses of korvane, one table for every subcommand but `call`
// (whose statuses are those of a host: 0 no message box, 1 a box, 2 usage).
#pragma once

namespace korvane::cli {

enum ExitStatus : int {
  kExitDone = 0,
  kExitFailed = 1,      // a message says why; for apply: at least one file failed
  kExitUsage = 2,       // the command line does not parse; one line names the argument
  kExitDoesNotFit = 3,  // calc: measured and written, but a fit judged the meshes not to match
  kExitAmbiguous = 4,   // calc: measured and written, but other motions fit as well
  // 128 + the signal (130 SIGINT, 143 SIGTERM): stopped; finished outputs stay, no temporary file
  kExitSignalBase = 128,
};

// The table as --help shows it.
inline constexpr char kExitStatusHelp[] =
    "Exit status:\n"
    "  0  done\n"
    "  1  failed: a message names the file and line; apply: at least one file failed\n"
    "  2  usage: the command line does not parse (one line names the argument)\n"
    "  3  calc: the motion was measured and written, but the fit judged that the\n"
    "     moved mesh does not match it\n"
    "  4  calc: the motion fits, but so do others (a symmetric mesh; with\n"
    "     --motion affine, a thin one): ambiguous\n"
    "  130  interrupted (143: terminated): finished outputs stay, unfinished ones are\n"
    "     dropped with their temporary files\n"
    "  call: 0 when no message box was shown, 1 when one was, 2 usage\n";

}  // namespace korvane::cli
