#include "straightforward.h"

#include <fstream>
#include <stdexcept>

namespace korvane::baseline {
namespace {

// Calls f(line) for every line as a text-mode reader delivers it.
template <class F>
void ForEachLine(const std::string& path, F&& f) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string line;
  // Reading on until end of file makes the text after the last '\n' one more
  // line, empty when the file ends with a line end.
  while (!in.eof()) {
    std::getline(in, line);
    if (in.bad() || (in.fail() && !in.eof())) throw std::runtime_error("cannot read " + path);
    // getline stops short of end of file only after consuming a '\n'.
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    f(line);
  }
}

// Token i of a vertex line; a missing one reads as nothing at all, which
// std::stod refuses like any other non-number.
double Coordinate(const std::vector<std::string>& tokens, std::size_t i) {
  return std::stod(i < tokens.size() ? tokens[i] : std::string());
}

// The line as it is written out, without its line end.
std::string RewriteLine(const std::string& line, const Eigen::Affine3d& m) {
  std::vector<std::string> tokens = SplitAtSpaces(line);
  if (!tokens.empty() && tokens[0] == "v") {
    const double x = Coordinate(tokens, 1);
    const double y = Coordinate(tokens, 2);
    const double z = Coordinate(tokens, 3);
    const auto& a = m.matrix();
    const double mx = ((a(0, 0) * x + a(0, 1) * y) + a(0, 2) * z) + a(0, 3);
    const double my = ((a(1, 0) * x + a(1, 1) * y) + a(1, 2) * z) + a(1, 3);
    const double mz = ((a(2, 0) * x + a(2, 1) * y) + a(2, 2) * z) + a(2, 3);
    tokens[1] = std::to_string(mx);
    tokens[2] = std::to_string(my);
    tokens[3] = std::to_string(mz);
  }
  std::string out;
  for (const std::string& t : tokens) {
    out += t;
    out += ' ';
  }
  return out;
}

}  // namespace

std::vector<std::string> SplitAtSpaces(const std::string& line) {
  std::vector<std::string> tokens;
  std::string current;
  for (const char c : line) {
    if (c != ' ') {
      current += c;
    } else if (!current.empty()) {
      tokens.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

Eigen::Affine3d MatrixFromTextStraightforward(const std::string& text, bool inverse) {
  std::vector<std::string> lines;
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type lf = text.find('\n', pos);
    lines.push_back(text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos));
    if (lf == std::string::npos) break;
    pos = lf + 1;
  }
  Eigen::Affine3d m = Eigen::Affine3d::Identity();
  for (std::size_t i = 0; i < 4 && i < lines.size(); ++i) {
    const std::vector<std::string> numbers = SplitAtSpaces(lines[i]);
    for (std::size_t j = 0; j < 4 && j < numbers.size(); ++j) {
      m.matrix()(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
          std::stod(numbers[j]);
    }
  }
  // The document's transform is the chosen matrix times its identity transform.
  const Eigen::Affine3d chosen = inverse ? m.inverse() : m;
  return chosen * Eigen::Affine3d::Identity();
}

Eigen::Affine3d MatrixStraightforward(const std::string& path, bool inverse) {
  std::string text;
  ForEachLine(path, [&](const std::string& line) {
    text += line;
    text += '\n';
  });
  return MatrixFromTextStraightforward(text, inverse);
}

std::string ApplyStraightforward(const std::string& target_path, const Eigen::Affine3d& m) {
  std::string out;
  ForEachLine(target_path, [&](const std::string& line) {
    out += RewriteLine(line, m);
    out += '\n';
  });
  return out;
}

void ApplyStraightforwardToFile(const std::string& target_path, const std::string& output_path,
                                const Eigen::Affine3d& m) {
  std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + output_path);
  ForEachLine(target_path, [&](const std::string& line) { out << RewriteLine(line, m) << '\n'; });
  out.close();
  if (!out) throw std::runtime_error("cannot write " + output_path);
}

std::vector<Eigen::Vector3d> VerticesStraightforward(const std::string& path) {
  std::vector<Eigen::Vector3d> vertices;
  ForEachLine(path, [&](const std::string& line) {
    const std::vector<std::string> tokens = SplitAtSpaces(line);
    if (tokens.empty() || tokens[0] != "v") return;
    const double x = Coordinate(tokens, 1);
    const double y = Coordinate(tokens, 2);
    const double z = Coordinate(tokens, 3);
    vertices.emplace_back(x, y, z);
  });
  return vertices;
}

}  // namespace korvane::baseline
