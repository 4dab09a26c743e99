// korvane: the command-line host. It drives the same commands a host
// application drives through the exports, and adds friendly forms for
// scripts and pipelines. The command line is read by CLI11; every error a
// subcommand raises is shown through text::PlainMessageOfCurrentException.
#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "api/commands.h"
#include "api/globals.h"
#include "api/status.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/outputs.h"
#include "cli/suggest.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::cli {

void CliPlatform::ShowMessage(const text::Message& caption, const text::Message& text) {
  ++boxes;
  if (statusToStdout) {
    std::fputs(platform::ToUtf8(text).c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  std::fprintf(stderr, "[%s] %s\n", platform::ToUtf8(caption).c_str(),
               platform::ToUtf8(text).c_str());
  std::fflush(stderr);
}

std::optional<std::string> CliPlatform::ShowFileDialog(const platform::FileDialog& d) {
  if (cancel) return std::nullopt;
  if (answer) return answer;
  if (!platform::StdinIsTerminal()) return std::nullopt;
  std::fprintf(stderr, "%s [%s%s] (empty line cancels): ", d.title.c_str(),
               d.initialDir && !d.initialDir->empty() ? d.initialDir->c_str() : "",
               d.initialFile.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line) || line.empty()) return std::nullopt;
  return line;
}

void Usage(const std::string& text) { throw Error(Error::Kind::usage, text::Message().Host(text)); }

int ReportError(const char* what, CliPlatform& p) {
  const text::CurrentException c = text::ClassifyCurrentException(true);
  if (c.kind == Error::Kind::usage) throw;
  p.ShowMessage(text::Message().Own(what), c.message);
  if (p.json) PrintJsonError(platform::ToUtf8(c.message), c.file, c.line);
  return kExitFailed;
}

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != platform::kPathSeparator) {
    dir += platform::kPathSeparator;
  }
  return dir;
}

std::string VectorText(const geometry::Vector3& v) {
  return "(" + text::ToGeneral15(v.x()) + ", " + text::ToGeneral15(v.y()) + ", " +
         text::ToGeneral15(v.z()) + ")";
}

std::string StretchLines(const geometry::MotionParts& p) {
  if (p.kind != geometry::MotionKind::affine) return {};
  std::string out;
  for (int i = 0; i < 3; ++i) {
    out += std::string(i == 0 ? "  stretches:   " : "               ") +
           text::ToGeneral15(p.stretches[i]) + " along " + VectorText(p.axes.col(i)) + "\n";
  }
  return out + "  shear:       xy " + text::ToGeneral15(p.shear[0]) + ", xz " +
         text::ToGeneral15(p.shear[1]) + ", yz " + text::ToGeneral15(p.shear[2]) + "\n";
}

std::string BaseName(const std::string& path) {
  const std::string::size_type cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {

constexpr char kSummary[] =
    "korvane measures how a mesh was moved, turned and uniformly scaled into a\n"
    "moved copy of itself, stores that motion as a 4x4 matrix file, and replays\n"
    "it, or its inverse, on OBJ meshes.\n";

// A whole number from `low` to `high`, written as digits only.
CLI::Validator WholeNumber(unsigned long low, unsigned long high) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  return CLI::Validator(
      [low, high, range](std::string& s) -> std::string {
        const bool digits =
            !s.empty() && s.size() <= 12 && s.find_first_not_of("0123456789") == std::string::npos;
        // 12 digits need 64 bits; unsigned long has 32 on Windows.
        const unsigned long long v = digits ? std::stoull(s) : 0;
        if (!digits || v < low || v > high)
          return "'" + s + "' is not a whole number from " + range;
        return {};
      },
      "", "WholeNumber");
}

// A number as the library reads numbers (the same in every locale).
CLI::Validator Number() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        const text::ParseResult r = text::ParseDouble(s);
        if (r.status != text::ParseStatus::ok || r.consumed != s.size()) {
          return "'" + s + "' is not a number";
        }
        return {};
      },
      "", "Number");
}

// A finite number as the library reads numbers: the range checks that follow
// it let NaN through, since every comparison with it is false.
CLI::Validator FiniteNumber() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        const text::ParseResult r = text::ParseDouble(s);
        if (r.status != text::ParseStatus::ok || r.consumed != s.size() ||
            !std::isfinite(r.value)) {
          return "'" + s + "' is not a finite number";
        }
        return {};
      },
      "", "FiniteNumber");
}

// "auto", or what `number` accepts.
CLI::Validator AutoOr(CLI::Validator number) {
  return CLI::Validator(
      [number](std::string& s) -> std::string { return s == "auto" ? std::string() : number(s); },
      "", "AutoOr");
}

double NumberOf(const std::string& s) { return text::ParseDouble(s).value; }

// An option's action for "auto" or a number: sets `automatic`, else `value`.
template <class T>
std::function<void(const std::string&)> AutoOrSet(bool& automatic, T& value) {
  return [&automatic, &value](const std::string& v) {
    automatic = v == "auto";
    if (!automatic) value = NumberOf(v);
  };
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const api::CommandInfo& c : api::kCommands) names.emplace_back(c.name);
  return names;
}

// "shortest" or a whole number from 0 to 17, as the digits a replay writes.
CLI::Validator DigitsValue() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        if (s == "shortest") {
          s = std::to_string(obj::ReplayStyle::kShortest);
          return {};
        }
        const bool digits =
            !s.empty() && s.size() <= 2 && s.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(s) > 17) return "'" + s + "' is not 'shortest' or 0 to 17";
        return {};
      },
      "", "Digits");
}

// A fit's name, turned into its number for CLI11 to store.
CLI::Validator FitKindName() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        std::vector<std::string> names;
        std::string list;
        for (const geometry::FitKind k : geometry::kFitKinds) {
          names.emplace_back(geometry::FitName(k));
          list += (list.empty() ? "" : ", ") + names.back();
        }
        const std::optional<geometry::FitKind> kind = geometry::FitByName(s);
        if (!kind) return "'" + s + "' is not a fit (" + list + ")" + DidYouMean(s, names);
        s = std::to_string(static_cast<int>(*kind));
        return {};
      },
      "", "Fit");
}

// A motion model's name, turned into its number for CLI11 to store.
CLI::Validator MotionModelName() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        std::vector<std::string> names;
        std::string list;
        for (const geometry::MotionModel m : geometry::kMotionModels) {
          names.emplace_back(geometry::MotionName(m));
          list += (list.empty() ? "" : ", ") + names.back();
        }
        const std::optional<geometry::MotionModel> model = geometry::MotionByName(s);
        if (!model) return "'" + s + "' is not a motion (" + list + ")" + DidYouMean(s, names);
        s = std::to_string(static_cast<int>(*model));
        return {};
      },
      "", "Motion");
}

struct CallOptions {
  std::string command;
  std::optional<std::string> workdir;
  std::optional<std::string> text;
  std::string value;
};

int Call(const CallOptions& o, CliPlatform& p) {
  const api::CommandInfo* command = api::FindCommand(o.command);
  if (o.workdir) api::WorkDirectory() = WithSeparator(*o.workdir);
  api::CommandArgs args;
  if (o.text) args.text = o.text->c_str();
  if (!o.value.empty()) args.value = text::ParseDouble(o.value).value;
  char version[16] = {};
  args.buf2 = version;
  args.size2 = static_cast<std::int32_t>(sizeof version);
  const bool status = command->fn == &api::ShowStatus;
  p.statusToStdout = status;
  api::RunCommand(*command, args);
  if (command->fn == &api::Version) std::printf("%s\n", version);
  return status ? 0 : (p.boxes > 0 ? 1 : 0);
}

// The command line: the subcommands, their options, their help.
class CommandLine {
 public:
  CommandLine() : app_(kSummary, "korvane") {
    app_.set_version_flag("--version", std::string("korvane ") + api::kVersion,
                          "Print the version and exit");
    app_.require_subcommand(1);
    // "/name" is a path here, also on Windows (where CLI11 would read it as an
    // option); set before the subcommands, which take it over.
    app_.allow_windows_style_options(false);
    app_.get_formatter()->column_width(30);

    calc_ = app_.add_subcommand("calc",
                                "Measure the motion from BASE.obj to MOVED.obj (or .stl, .ply)");
    calc_->add_option("BASE.obj", calcOptions_.base, "The mesh before the motion")
        ->type_name("")
        ->required();
    calc_->add_option("MOVED.obj", calcOptions_.moved, "Its moved copy")->type_name("")->required();
    calc_
        ->add_option("-o,--output", calcOptions_.output,
                     "Where the motion is written (-: standard output)")
        ->type_name("MOTION.matrix")
        ->capture_default_str();
    calc_->add_option("--fit", calcOptions_.fit.kind, "How the motion is found")
        ->type_name("KIND")
        ->transform(FitKindName())
        ->default_str(geometry::FitName(calcOptions_.fit.kind));
    calc_
        ->add_option("--motion", calcOptions_.fit.motion,
                     "Which motions fit: rigid (the scale exactly 1), similarity or affine "
                     "(a stretched copy; not with --fit three-point)")
        ->type_name("MODEL")
        ->transform(MotionModelName())
        ->default_str(geometry::MotionName(calcOptions_.fit.motion));
    calc_->add_flag("--allow-mirror", calcOptions_.fit.allowMirror,
                    "A mirror image fits too (reported as mirror: true)");
    calc_
        ->add_option_function<std::string>(
            "--tolerance", AutoOrSet(calcOptions_.fit.autoTolerance, calcOptions_.fit.tolerance),
            "It fits when 95% of the base vertices land this close, relative to the moved "
            "mesh's size; auto: set from how rough the copy is (scans, remeshes, noise)")
        ->type_name("T|auto")
        ->check(AutoOr(FiniteNumber() & CLI::PositiveNumber))
        ->default_str(text::ToGeneral15(geometry::kDefaultTolerance));
    calc_
        ->add_option_function<std::string>(
            "--trim", AutoOrSet(calcOptions_.fit.autoTrim, calcOptions_.fit.trim),
            "Leave the worst fraction F of the pairs out of the fit (least-squares: none by "
            "default; icp: " +
                text::ToGeneral15(geometry::kDefaultIcpTrim) +
                "); auto: judge a partial copy on the share of the base it has")
        ->type_name("F|auto")
        ->check(AutoOr(FiniteNumber() & CLI::Range(0.0, 0.5)));
    calc_->add_option("--max-iterations", calcOptions_.fit.maxIterations, "ICP iterations at most")
        ->type_name("N")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    calc_->add_option("-j,--jobs", calcOptions_.fit.threads, "Threads (default: one per processor)")
        ->type_name("N")
        ->check(WholeNumber(1, 1024));
    calc_->add_flag("--json", calcOptions_.json, "Print the report as one JSON object");
    calc_->add_option("--report", calcOptions_.report, "Also write the report as an HTML page")
        ->type_name("FIT.html")
        ->check(CLI::Validator(
            [](const std::string&) -> std::string {
              return KORVANE_REPORT_PAGE ? ""
                                         : "this build of korvane has no report page (it was "
                                           "built without Node.js and web/node_modules)";
            },
            "", "ReportPage"));
    calc_->add_flag("--force", calcOptions_.force, "Replace outputs that are read-only");
    std::string fits = "Fits:\n";
    for (const geometry::FitKind k : geometry::kFitKinds)
      fits += std::string("  ") + geometry::FitName(k) + ": " + geometry::FitDescription(k) + "\n";
    calc_->footer(fits +
                  "Prints the motion and how far the base mesh, carried by it, lies from the\n"
                  "moved mesh. Exit status 3: measured and written, but it does not fit.");

    apply_ = app_.add_subcommand("apply", "Replay a motion on mesh files, several at once");
    apply_->add_option("-m,--matrix", applyOptions_.matrix, "The motion")
        ->type_name("MOTION.matrix")
        ->required();
    apply_->add_flag("--inverse", applyOptions_.inverse, "Replay the motion that undoes it");
    apply_->add_option("IN.obj", applyOptions_.inputs, "The meshes to move (OBJ, STL or PLY)")
        ->type_name("")
        ->required();
    apply_
        ->add_option("-o,--output", applyOptions_.output,
                     "The moved mesh (-: standard output), or an existing directory for them")
        ->type_name("OUT")
        ->required();
    apply_
        ->add_option("-j,--jobs", applyOptions_.jobs, "Files at once (default: one per processor)")
        ->type_name("N")
        ->check(WholeNumber(1, 1024));
    apply_->add_flag("-q,--quiet", applyOptions_.quiet,
                     "No file lines, no progress bar: failures only");
    apply_->add_flag("--json", applyOptions_.json, "Print a JSON summary on standard output");
    apply_->add_flag("--in-place", applyOptions_.inPlace,
                     "Let -o be the inputs' own folder (or file): replace the inputs");
    apply_->add_flag("--force", applyOptions_.force, "Replace outputs that are read-only");
    apply_->add_flag("--strict", applyOptions_.strict,
                     "Take every warning for an error: the file is not written");
    apply_
        ->add_option("--digits", applyOptions_.style.digits,
                     "Decimals of the written coordinates, 0 to 17, or 'shortest': the fewest "
                     "that read back exactly")
        ->type_name("N|shortest")
        ->transform(DigitsValue())
        ->default_str("6");
    apply_->add_flag("--normals", applyOptions_.style.normals,
                     "Turn the normals (vn lines) with the motion; reverse mirrored faces");
    apply_->add_flag("--gltf-nodes", applyOptions_.style.sceneNodes,
                     "glTF: put the motion into the scene's root nodes, not the vertex data");
    apply_->footer(
        "Into a directory, each input is written under its own name. Each output is\n"
        "written to a temporary file and renamed into place when complete; no output\n"
        "may be an input (but with --in-place) and a read-only one needs --force.\n"
        "A file that fails leaves its output as it was and does not stop the others;\n"
        "every failure is listed at the end with its file and line, and the exit status\n"
        "is 1. A progress bar is shown on standard error when it is a terminal and the\n"
        "work runs longer than a second. The JSON summary lists per file: input,\n"
        "output, vertices, bytes, seconds, error (null when it was written).\n"
        "OBJ, STL and PLY files (told by their content) are written in their own\n"
        "format, positions and normals moved and every other byte kept; an output\n"
        "named for another format is refused. ASCII STL and PLY numbers keep the\n"
        "input's significant digits unless --digits is given.");

    status_ = app_.add_subcommand("status", "Show version, working and auto-loading directory");
    status_->add_option("--workdir", statusWorkdir_, "The working directory to show")
        ->type_name("DIR");

    demo_ = app_.add_subcommand("demo", "Measure, replay and undo a known motion");
    demo_->add_option("--dir", demoDir_, "An existing directory for the files")
        ->type_name("DIR")
        ->capture_default_str();
    demo_->add_option("--vertices", demoVertices_, "About how many vertices the mesh has")
        ->type_name("N")
        ->check(WholeNumber(100, 100000000))
        ->capture_default_str();

    call_ = app_.add_subcommand("call", "Run one of the fifteen commands as a host would");
    const std::vector<std::string> names = CommandNames();
    call_->add_option("COMMAND", callOptions_.command, "The command's export name")
        ->type_name("")
        ->required()
        ->check(CLI::Validator(
            [names](std::string& s) -> std::string {
              if (api::FindCommand(s) != nullptr) return {};
              return "unknown command '" + s + "'" + DidYouMean(s, names);
            },
            "", "Command"));
    call_->add_option("--workdir", callOptions_.workdir, "Set the working directory first")
        ->type_name("DIR");
    call_->add_option("--text", callOptions_.text, "The command's text argument")
        ->type_name("TEXT");
    call_->add_option("--value", callOptions_.value, "The command's number argument")
        ->type_name("V")
        ->check(Number());
    CLI::Option* answer = call_->add_option("--answer", answer_, "Confirm a file dialog with PATH")
                              ->type_name("PATH");
    call_->add_flag("--cancel", cancel_, "Cancel a file dialog")->excludes(answer);
    call_->footer(
        "Message boxes appear on standard error as \"[caption] text\"; ShowStatus prints\n"
        "to standard output. Without --answer or --cancel a file dialog is asked on the\n"
        "terminal. Exit status: 0 when no message box was shown, 1 when one was, 2 usage.\n"
        "Commands:" +
        Joined(names));

    matrix_ = AddMatrixCommand(app_, matrixOptions_);

    for (CLI::App* sub : app_.get_subcommands([](CLI::App*) { return true; })) sub->allow_extras();
    // Set last: subcommands take over the footer their parent has when they are added.
    app_.footer(std::string(kExitStatusHelp) +
                "\nRun 'korvane SUBCOMMAND --help' for the options of each.");
  }

  // Parses the command line and runs the subcommand.
  int Run(int argc, char** argv, CliPlatform& p) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) Usage("no subcommand given");
    const std::string& first = args[0];
    if (first == "help") return Help(args.size() > 1 ? args[1] : "");
    if (first[0] == '-' && first != "-h" && first != "--help" && first != "--version") {
      Usage("unknown option '" + first + "'" + DidYouMean(first, {"--help", "--version"}));
    }
    if (first[0] != '-') {
      if (Find(first) == nullptr) {
        Usage("unknown subcommand '" + first + "'" + DidYouMean(first, SubcommandNames()));
      }
      current_ = first;
      if (first == "matrix") CheckMatrixVerb({args.begin() + 1, args.end()});
    }
    try {
      app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::cout << app_.help() << std::flush;
      return kExitDone;
    } catch (const CLI::CallForVersion& e) {
      std::cout << e.what() << std::endl;
      return kExitDone;
    } catch (const CLI::ParseError& e) {
      Usage(e.what());
    }
    CLI::App* sub = app_.get_subcommands().at(0);
    for (const std::string& extra : sub->remaining()) {
      if (extra.size() > 1 && extra[0] == '-') {
        const std::string name = extra.substr(0, extra.find('='));
        Usage("unknown option '" + name + "'" + DidYouMean(name, OptionNames(*sub)));
      }
      Usage("unexpected argument '" + extra + "'");
    }
    if (sub == apply_) applyOptions_.style.digitsChosen = apply_->count("--digits") > 0;
    p.json = (sub == calc_ && calcOptions_.json) || (sub == apply_ && applyOptions_.json) ||
             (sub == matrix_ && matrixOptions_.json);
    if (sub == calc_) return Calc(calcOptions_, p);
    if (sub == apply_) return Apply(applyOptions_, p);
    if (sub == status_) {
      if (statusWorkdir_) api::WorkDirectory() = WithSeparator(*statusWorkdir_);
      std::fputs(api::BuildStatusText().c_str(), stdout);
      return kExitDone;
    }
    if (sub == demo_) return Demo(demoDir_, demoVertices_);
    if (sub == matrix_) return Matrix(*matrix_, matrixOptions_, p);
    p.answer = answer_;
    p.cancel = cancel_;
    return Call(callOptions_, p);
  }

  // The subcommand a usage error belongs to, for its message ("" before one was read).
  const std::string& current() const { return current_; }

 private:
  int Help(const std::string& name) {
    if (name.empty()) {
      std::cout << app_.help() << std::flush;
      return kExitDone;
    }
    const CLI::App* sub = Find(name);
    if (sub == nullptr)
      Usage("unknown subcommand '" + name + "'" + DidYouMean(name, SubcommandNames()));
    std::cout << sub->help("korvane") << std::flush;
    return kExitDone;
  }

  CLI::App* Find(const std::string& name) {
    for (CLI::App* sub : app_.get_subcommands([](CLI::App*) { return true; })) {
      if (sub->get_name() == name) return sub;
    }
    return nullptr;
  }

  std::vector<std::string> SubcommandNames() {
    std::vector<std::string> names;
    for (CLI::App* sub : app_.get_subcommands([](CLI::App*) { return true; }))
      names.push_back(sub->get_name());
    return names;
  }

  static std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    std::size_t column = 10;
    for (const std::string& n : names) {
      if (column + n.size() + 2 > 80) {
        out += "\n ";
        column = 1;
      }
      out += " " + n;
      column += n.size() + 1;
    }
    return out;
  }

  CLI::App app_;
  CLI::App* calc_;
  CLI::App* apply_;
  CLI::App* status_;
  CLI::App* demo_;
  CLI::App* call_;
  CLI::App* matrix_;
  CalcOptions calcOptions_;
  ApplyOptions applyOptions_;
  std::optional<std::string> statusWorkdir_;
  std::string demoDir_ = "korvane-demo";
  std::uint64_t demoVertices_ = 20000;
  CallOptions callOptions_;
  MatrixOptions matrixOptions_;
  std::optional<std::string> answer_;
  bool cancel_ = false;
  std::string current_;
};

}  // namespace

int Main(int argc, char** argv) {
  platform::MapLargeBlocks();
  CliPlatform platform(platform::Native());
  platform::Platform* previous = platform::Install(&platform);
  int status = kExitUsage;
  const bool json = WantsJson(argc, argv);
  CatchStopSignals(json);
  std::unique_ptr<CommandLine> line;
  try {
    line = std::make_unique<CommandLine>();
    status = line->Run(argc, argv, platform);
  } catch (const Error& e) {
    if (e.kind() != Error::Kind::usage) {
      platform.ShowMessage(text::Message().Own("korvane"), text::PlainMessageOfCurrentException());
      if (json) PrintJsonErrorOfCurrentException();
      status = kExitFailed;
    } else {
      // One line: the error, and where to read more.
      const std::string where = line && !line->current().empty() ? " " + line->current() : "";
      std::fprintf(stderr, "korvane%s: %s (see 'korvane%s --help')\n", where.c_str(),
                   platform::ToUtf8(text::PlainMessageOfCurrentException()).c_str(), where.c_str());
      if (json) PrintJsonErrorOfCurrentException();
      status = kExitUsage;
    }
  } catch (...) {
    platform.ShowMessage(text::Message().Own("korvane"), text::PlainMessageOfCurrentException());
    if (json) PrintJsonErrorOfCurrentException();
    status = kExitFailed;
  }
  platform::Install(previous);
  return StatusAfterStop(status);
}

}  // namespace korvane::cli
