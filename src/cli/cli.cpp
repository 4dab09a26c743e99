// korvane: the command-line host. It drives the same commands a host
// application drives through the exports, and adds friendly forms for batch
// use at a terminal.
#include "cli/cli.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "api/commands.h"
#include "api/globals.h"
#include "api/mesh_commands.h"
#include "api/status.h"
#include "cli/mesh_generator.h"
#include "geometry/geometry.h"
#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "obj/obj_stream.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::cli {
namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  korvane calc BASE.obj MOVED.obj [-o MOTION.matrix]\n"
    "      Measure how BASE was moved, turned and scaled into MOVED; write the\n"
    "      motion (default: active.matrix) and report it.\n"
    "  korvane apply -m MOTION.matrix [--inverse] INPUT.obj... -o OUTPUT\n"
    "      Replay the motion (or its inverse) on meshes. OUTPUT is a file for\n"
    "      one input, or a directory.\n"
    "  korvane status [--workdir DIR]\n"
    "      Show the version, the working directory and the auto-loading directory.\n"
    "  korvane demo [--dir DIR] [--vertices N]\n"
    "      Move a generated mesh by a known motion, measure it, replay and undo it.\n"
    "  korvane call COMMAND [--workdir DIR] [--text TEXT] [--value V]\n"
    "               [--answer PATH | --cancel]\n"
    "      Run one of the fifteen commands exactly as a host application would.\n"
    "      Exit status 0: no message box; 1: a message box was shown.\n"
    "  korvane --help | --version\n";

// Boxes go to standard error; dialogs are answered from the command line or
// at the terminal.
class CliPlatform final : public platform::Platform {
 public:
  explicit CliPlatform(platform::Platform& native) : native_(native) {}

  void ShowMessage(const text::Message& caption, const text::Message& text) override {
    ++boxes;
    if (statusToStdout_) {
      std::fputs(platform::ToUtf8(text).c_str(), stdout);
      std::fflush(stdout);
      return;
    }
    std::fprintf(stderr, "[%s] %s\n", platform::ToUtf8(caption).c_str(),
                 platform::ToUtf8(text).c_str());
    std::fflush(stderr);
  }
  bool PathExists(const std::string& path) override { return native_.PathExists(path); }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    return native_.CopyFileReplacing(from, to);
  }
  std::optional<std::string> ShowFileDialog(const platform::FileDialog& d) override {
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
  void WriteConsoleLine(std::string_view line) override { native_.WriteConsoleLine(line); }

  int boxes = 0;
  bool cancel = false;
  bool statusToStdout_ = false;
  std::optional<std::string> answer;

 private:
  platform::Platform& native_;
};

[[noreturn]] void Usage(std::string text) {
  throw Error(Error::Kind::usage, text::Message().Host(text));
}

std::string NeedValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) Usage(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != platform::kPathSeparator) {
    dir += platform::kPathSeparator;
  }
  return dir;
}

double ParseNumberArg(const std::string& s) {
  const text::ParseResult r = text::ParseDouble(s);
  if (r.status != text::ParseStatus::ok || r.consumed != s.size()) {
    Usage("not a number: " + s);
  }
  return r.value;
}

// Reports the error being handled the way the exports do, for the friendly
// forms; call it inside a catch block. Usage errors go on to Main.
int ReportError(const char* what, CliPlatform& p) {
  try {
    throw;
  } catch (const Error& e) {
    if (e.kind() == Error::Kind::usage) throw;
  } catch (...) {
  }
  p.ShowMessage(text::Message().Own(what), text::MessageOfCurrentException());
  return 1;
}

int Call(int argc, char** argv, CliPlatform& p) {
  if (argc < 3) Usage("call needs a command name");
  const api::CommandInfo* command = api::FindCommand(argv[2]);
  if (command == nullptr) Usage(std::string("unknown command: ") + argv[2]);
  std::string text;
  bool has_text = false;
  api::CommandArgs args;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--workdir") {
      api::WorkDirectory() = WithSeparator(NeedValue(argc, argv, i));
    } else if (a == "--text") {
      text = NeedValue(argc, argv, i);
      has_text = true;
    } else if (a == "--value") {
      args.value = ParseNumberArg(NeedValue(argc, argv, i));
    } else if (a == "--answer") {
      p.answer = NeedValue(argc, argv, i);
    } else if (a == "--cancel") {
      p.cancel = true;
    } else {
      Usage("unknown option: " + a);
    }
  }
  if (has_text) args.text = text.c_str();
  char version[16] = {};
  args.buf2 = version;
  args.size2 = static_cast<std::int32_t>(sizeof version);
  const bool status = command->fn == &api::ShowStatus;
  p.statusToStdout_ = status;
  api::RunCommand(*command, args);
  if (command->fn == &api::Version) std::printf("%s\n", version);
  return status ? 0 : (p.boxes > 0 ? 1 : 0);
}

std::string BaseName(const std::string& path) {
  const std::string::size_type cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int Apply(int argc, char** argv, CliPlatform& p) {
  std::string matrix_path;
  std::string output;
  bool inverse = false;
  std::vector<std::string> inputs;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-m" || a == "--matrix") {
      matrix_path = NeedValue(argc, argv, i);
    } else if (a == "-o" || a == "--output") {
      output = NeedValue(argc, argv, i);
    } else if (a == "--inverse") {
      inverse = true;
    } else if (!a.empty() && a[0] == '-') {
      Usage("unknown option: " + a);
    } else {
      inputs.push_back(a);
    }
  }
  if (matrix_path.empty()) Usage("apply needs -m MOTION.matrix");
  if (output.empty()) Usage("apply needs -o OUTPUT");
  if (inputs.empty()) Usage("apply needs at least one INPUT.obj");
  const bool to_directory = platform::IsDirectory(output);
  if (inputs.size() > 1 && !to_directory) {
    Usage("with several inputs, -o must name an existing directory");
  }
  try {
    std::string text;
    if (!matrix::ReadMatrixFile(matrix_path, text)) {
      throw Error(Error::Kind::io, text::Message().Own("cannot open ").Host(matrix_path));
    }
    const geometry::Matrix4 m = matrix::MotionFromText(text, matrix_path, inverse);
    int failures = 0;
    for (const std::string& in : inputs) {
      const std::string out = to_directory ? WithSeparator(output) + BaseName(in) : output;
      try {
        if (obj::TransformObjFile(in, out, m)) {
          std::printf("%s -> %s\n", in.c_str(), out.c_str());
        } else {
          ++failures;
        }
      } catch (...) {
        failures += ReportError("apply", p);
      }
    }
    return failures > 0 ? 1 : 0;
  } catch (...) {
    return ReportError("apply", p);
  }
}

std::string General(double v) { return text::ToGeneral15(v); }

std::string VectorText(const geometry::Vector3& v) {
  return "(" + General(v.x()) + ", " + General(v.y()) + ", " + General(v.z()) + ")";
}

void PrintMotion(const geometry::Matrix4& m) {
  const Eigen::Matrix3d linear = m.linear();
  const double scale = std::cbrt(linear.determinant());
  const Eigen::AngleAxisd turn(Eigen::Matrix3d(linear / scale));
  std::printf("  scale:       %s\n", General(scale).c_str());
  std::printf("  rotation:    %s degrees about %s\n",
              General(turn.angle() * 180.0 / geometry::kPi).c_str(),
              VectorText(turn.axis()).c_str());
  std::printf("  translation: %s\n", VectorText(m.translation()).c_str());
}

int Calc(int argc, char** argv, CliPlatform& p) {
  std::vector<std::string> files;
  std::string output = "active.matrix";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o" || a == "--output") {
      output = NeedValue(argc, argv, i);
    } else if (!a.empty() && a[0] == '-') {
      Usage("unknown option: " + a);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) Usage("calc needs BASE.obj and MOVED.obj");
  try {
    const matrix::Measurement m = api::MeasureFiles(files[0], files[1], output);
    matrix::WriteMatrixFile(output, m.analysis.matrix);
    const auto show = [](const char* name, const obj::ObjDocument& d) {
      const auto at = [&d](std::int32_t i) { return d.vertices[static_cast<std::size_t>(i)]; };
      std::printf("  %s: %zu vertices; reference vertices A #%d %s, B #%d %s, C #%d %s\n", name,
                  d.vertices.size(), d.pointIndexA, VectorText(at(d.pointIndexA)).c_str(),
                  d.pointIndexB, VectorText(at(d.pointIndexB)).c_str(), d.pointIndexC,
                  VectorText(at(d.pointIndexC)).c_str());
    };
    show("base ", m.base);
    show("moved", m.transformed);
    PrintMotion(m.analysis.matrix);
    if (m.sameTopology) {
      double sum = 0.0;
      double worst = 0.0;
      double extent = 0.0;
      for (std::size_t k = 0; k < m.base.vertices.size(); ++k) {
        const double e = (geometry::TransformPoint(m.analysis.matrix, m.base.vertices[k]) -
                          m.transformed.vertices[k])
                             .norm();
        sum += e * e;
        worst = std::max(worst, e);
        extent = std::max(extent, m.transformed.vertices[k].cwiseAbs().maxCoeff());
      }
      const double rms = std::sqrt(sum / static_cast<double>(m.base.vertices.size()));
      std::printf("  deviation:   RMS %s, max %s\n", General(rms).c_str(), General(worst).c_str());
      // Coordinates are stored with six decimals; more than that is real misfit.
      if (worst > 1e-5 + 1e-9 * extent) {
        std::printf(
            "  warning: the moved mesh is not a similar copy of the base (shear, "
            "unequal scales, a mirror or edited vertices); the matrix carries its "
            "reference triangle only\n");
      }
    }
    std::printf("  written:     %s\n", output.c_str());
    return 0;
  } catch (...) {
    return ReportError("calc", p);
  }
}

int Status(int argc, char** argv, CliPlatform&) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--workdir") {
      api::WorkDirectory() = WithSeparator(NeedValue(argc, argv, i));
    } else {
      Usage("unknown option: " + a);
    }
  }
  std::fputs(api::BuildStatusText().c_str(), stdout);
  return 0;
}

}  // namespace

int Demo(int argc, char** argv, platform::Platform& p);

int Main(int argc, char** argv) {
  CliPlatform platform(platform::Native());
  platform::Platform* previous = platform::Install(&platform);
  int status = 2;
  try {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "--help" || verb == "-h" || verb == "help") {
      std::fputs(kUsage, stdout);
      status = 0;
    } else if (verb == "--version") {
      std::printf("korvane %s\n", api::kVersion);
      status = 0;
    } else if (verb == "call") {
      status = Call(argc, argv, platform);
    } else if (verb == "apply") {
      status = Apply(argc, argv, platform);
    } else if (verb == "calc") {
      status = Calc(argc, argv, platform);
    } else if (verb == "status") {
      status = Status(argc, argv, platform);
    } else if (verb == "demo") {
      status = Demo(argc, argv, platform);
    } else {
      Usage(verb.empty() ? "no command given" : "unknown command: " + verb);
    }
  } catch (const Error& e) {
    if (e.kind() != Error::Kind::usage) throw;
    std::fprintf(stderr, "korvane: %s\n\n%s", platform::ToUtf8(e.message()).c_str(), kUsage);
    status = 2;
  } catch (...) {
    platform.ShowMessage(text::Message().Own("korvane"), text::MessageOfCurrentException());
    status = 1;
  }
  platform::Install(previous);
  return status;
}

}  // namespace korvane::cli
