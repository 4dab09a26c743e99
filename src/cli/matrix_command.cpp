// korvane matrix: look at, invert, compose and make matrix files, for what
// users otherwise work out by hand. Inputs are read as korvane apply reads
// them; outputs are written as calc writes them, replaced only when complete.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/outputs.h"
#include "cli/suggest.h"
#include "geometry/fit.h"
#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "matrix/parts_json.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::cli {
namespace {

const std::vector<std::string> kVerbs = {"show", "invert", "compose", "make"};

std::string General(double v) { return text::ToGeneral15(v); }

// Finite numbers separated by commas, exactly `count` of them.
bool ParseNumbers(const std::string& s, std::size_t count, std::vector<double>& out) {
  out.clear();
  std::size_t pos = 0;
  for (;;) {
    const std::size_t comma = std::min(s.find(',', pos), s.size());
    const std::string piece = s.substr(pos, comma - pos);
    const text::ParseResult r = text::ParseDouble(piece);
    if (piece.empty() || r.status != text::ParseStatus::ok || r.consumed != piece.size() ||
        !std::isfinite(r.value))
      return false;
    out.push_back(r.value);
    if (comma == s.size()) break;
    pos = comma + 1;
  }
  return out.size() == count;
}

// sin and cos of an angle in degrees, exact at multiples of 90: a quarter turn
// gives 0 and 1, not 6.1e-17, and files made on any system read the same.
void SinCosDegrees(double degrees, double& s, double& c) {
  const double turn = std::fmod(degrees, 360.0);
  const double quarters = std::nearbyint(turn / 90.0);
  const double rest = (turn - quarters * 90.0) * (geometry::kPi / 180.0);
  const double s0 = std::sin(rest);
  const double c0 = std::cos(rest);
  switch ((static_cast<int>(quarters) % 4 + 4) % 4) {
    case 0:
      s = s0;
      c = c0;
      break;
    case 1:
      s = c0;
      c = -s0;
      break;
    case 2:
      s = -s0;
      c = -c0;
      break;
    default:
      s = -c0;
      c = s0;
      break;
  }
}

geometry::Matrix4 Make(const MatrixOptions& o) {
  double scale = 1.0;
  geometry::Vector3 shift = geometry::Vector3::Zero();
  Eigen::Matrix3d turn = Eigen::Matrix3d::Identity();
  std::vector<double> v;
  if (o.scale) {
    if (!ParseNumbers(*o.scale, 1, v) || v[0] == 0.0)
      Usage("--scale: '" + *o.scale + "' is not a finite number other than 0");
    scale = v[0];
  }
  if (o.rotate) {
    const std::size_t colon = o.rotate->find(':');
    std::vector<double> degrees;
    if (colon == std::string::npos || !ParseNumbers(o.rotate->substr(0, colon), 3, v) ||
        !ParseNumbers(o.rotate->substr(colon + 1), 1, degrees) ||
        geometry::Vector3(v[0], v[1], v[2]).isZero(0)) {
      Usage("--rotate: '" + *o.rotate +
            "' is not an axis and an angle in degrees, X,Y,Z:DEG (such as 0,0,1:90)");
    }
    const geometry::Vector3 k = geometry::Vector3(v[0], v[1], v[2]).normalized();
    double s = 0.0, c = 1.0;
    SinCosDegrees(degrees[0], s, c);
    Eigen::Matrix3d cross;
    cross << 0, -k.z(), k.y(), k.z(), 0, -k.x(), -k.y(), k.x(), 0;
    // Rodrigues' formula, term by term, so that exact sines and cosines give exact entries.
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        turn(i, j) = (i == j ? c : 0.0) + s * cross(i, j) + (1.0 - c) * k[i] * k[j];
    }
  }
  if (o.translate) {
    if (!ParseNumbers(*o.translate, 3, v))
      Usage("--translate: '" + *o.translate + "' is not three finite numbers X,Y,Z");
    shift = geometry::Vector3(v[0], v[1], v[2]);
  }
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  m.linear() = turn * scale;
  m.translation() = shift;
  return m;
}

// Nothing that korvane apply would refuse is written.
void Write(const std::string& output, const geometry::Matrix4& m) {
  matrix::CheckMotionShape(m, output == "-" ? "standard output" : output);
  if (output == "-") {
    std::fputs(matrix::FormatMatrixText(m).c_str(), stdout);
    std::fflush(stdout);
  } else {
    matrix::WriteMatrixFile(output, m);
  }
}

int Show(const std::string& path, bool json) {
  const geometry::Matrix4 m = matrix::LoadMotionStrict(path, false);
  const geometry::MotionParts parts = geometry::DecomposeMotion(m);
  const double det = m.linear().determinant();
  const bool affine = parts.kind == geometry::MotionKind::affine;
  if (json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (int i = 0; i < 4; ++i) {
      rows.push_back(nlohmann::ordered_json::array());
      for (int j = 0; j < 4; ++j) rows.back().push_back(m.matrix()(i, j));
    }
    const auto vec = [](const geometry::Vector3& x) {
      return nlohmann::ordered_json::array({x.x(), x.y(), x.z()});
    };
    const nlohmann::ordered_json j = {
        {"matrix", rows},
        {"scale", parts.scale},
        {"rotation", {{"axis", vec(parts.axis)}, {"degrees", parts.angleDegrees}}},
        {"translation", vec(parts.translation)},
        {"determinant", det},
        {"similarity", !affine},
        {"kind", geometry::MotionKindName(parts.kind)},
        {"mirror", parts.mirror},
        {"decomposition", matrix::DecompositionJson(parts)}};
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::printf("%s\n", path.c_str());
    std::printf("  motion:      %s%s\n", geometry::MotionKindName(parts.kind),
                parts.mirror ? ", mirror image" : "");
    std::printf("  scale:       %s%s\n", General(parts.scale).c_str(),
                affine ? " (the mean stretch)" : "");
    std::printf("  rotation:    %s degrees about %s\n", General(parts.angleDegrees).c_str(),
                VectorText(parts.axis).c_str());
    std::fputs(StretchLines(parts).c_str(), stdout);
    std::printf("  translation: %s\n", VectorText(parts.translation).c_str());
    std::printf("  determinant: %s\n", General(det).c_str());
    if (affine) {
      std::printf(
          "  It stretches along the axes above, then turns, then shifts. Read as a shear\n"
          "  instead: x moves by xy*y + xz*z and y by yz*z, then x, y, z scale and turn.\n");
    }
  }
  std::fflush(stdout);
  return kExitDone;
}

}  // namespace

CLI::App* AddMatrixCommand(CLI::App& app, MatrixOptions& o) {
  CLI::App* matrix = app.add_subcommand("matrix", "Show, invert, compose or make matrix files");
  CLI::App* show = matrix->add_subcommand("show", "Show the motion a matrix file holds");
  show->add_option("M.matrix", o.input, "The matrix file")->type_name("")->required();
  show->add_flag("--json", o.json, "Print it as one JSON object");
  show->footer(
      "Prints what kind of motion it is (rigid, similarity or affine, and whether it\n"
      "mirrors), the scale, the rotation axis and angle, the translation and the\n"
      "determinant; for an affine motion also the three stretches with their axes and\n"
      "the shear. JSON keys: matrix (4 rows of 4 numbers), scale, rotation {axis,\n"
      "degrees}, translation, determinant, similarity (false when it also shears or\n"
      "scales unequally), kind, mirror, decomposition (null for a similarity, else\n"
      "{stretches, axes, shear {xy, xz, yz}}).");

  CLI::App* invert = matrix->add_subcommand("invert", "Write the motion that undoes one");
  invert->add_option("M.matrix", o.input, "The matrix file")->type_name("")->required();

  CLI::App* compose =
      matrix->add_subcommand("compose", "Write the motion of several, one after the other");
  compose->add_option("FILES", o.inputs, "The matrix files, the first applied first")
      ->type_name("")
      ->required();
  compose->footer("A.matrix B.matrix C.matrix gives C * B * A: A first, then B, then C.");

  CLI::App* make = matrix->add_subcommand("make", "Write a motion from a scale, turn and shift");
  make->add_option("--scale", o.scale, "Scale uniformly by S (not 0)")->type_name("S");
  make->add_option("--rotate", o.rotate, "Then turn by DEG degrees about the axis (X, Y, Z)")
      ->type_name("X,Y,Z:DEG");
  make->add_option("--translate", o.translate, "Then shift by (X, Y, Z)")->type_name("X,Y,Z");
  make->footer(
      "In that order: scale, then turn (right-handed), then shift. Without options: the\n"
      "identity.");

  for (CLI::App* writer : {invert, compose, make}) {
    writer
        ->add_option("-o,--output", o.output,
                     "Where the matrix is written (replaced when complete); - for standard output")
        ->type_name("OUT.matrix")
        ->required();
    writer->add_flag("--force", o.force, "Replace OUT.matrix even when it is read-only");
  }
  for (CLI::App* verb : {show, invert, compose, make}) verb->allow_extras();
  matrix->footer(
      "Inputs are read as apply reads them: four lines of four finite numbers, the bottom\n"
      "row 0 0 0 1, the turn and scale part not singular. Run 'korvane matrix VERB --help'\n"
      "for the options of each.");
  return matrix;
}

void CheckMatrixVerb(const std::vector<std::string>& args) {
  if (args.empty()) Usage("a verb is required: show, invert, compose or make");
  const std::string& verb = args[0];
  if (verb == "-h" || verb == "--help") return;
  for (const std::string& v : kVerbs) {
    if (verb == v) return;
  }
  Usage("unknown verb '" + verb + "'" + DidYouMean(verb, kVerbs) +
        " (show, invert, compose or make)");
}

int Matrix(const CLI::App& command, const MatrixOptions& o, CliPlatform& p) {
  const CLI::App* verb = command.get_subcommands().at(0);
  for (const std::string& extra : verb->remaining()) {
    if (extra.size() > 1 && extra[0] == '-') {
      const std::string name = extra.substr(0, extra.find('='));
      Usage("unknown option '" + name + "'" + DidYouMean(name, OptionNames(*verb)));
    }
    Usage("unexpected argument '" + extra + "'");
  }
  const std::string& name = verb->get_name();
  if (name == "compose" && o.inputs.size() < 2) Usage("compose needs two matrix files or more");
  // Usage errors in make's options come before any file is touched.
  const geometry::Matrix4 made = name == "make" ? Make(o) : geometry::IdentityMatrix4();
  if (name != "show") {
    // The rules of calc and apply: never over an input, read-only only with --force.
    std::vector<NamedPath> inputs;
    if (name == "invert") inputs.push_back({"M.matrix", o.input});
    for (const std::string& in : o.inputs) inputs.push_back({"FILES", in});
    CheckOutputs(inputs, {{"--output", OutputName(o.output)}}, o.force);
  }
  try {
    if (name == "show") return Show(o.input, o.json);
    if (name == "invert") {
      Write(o.output, matrix::LoadMotionStrict(o.input, true));
    } else if (name == "compose") {
      geometry::Matrix4 m = geometry::IdentityMatrix4();
      for (const std::string& in : o.inputs) m = matrix::LoadMotionStrict(in, false) * m;
      Write(o.output, m);
    } else {
      Write(o.output, made);
    }
    return kExitDone;
  } catch (...) {
    return ReportError("matrix", p);
  }
}

}  // namespace korvane::cli
