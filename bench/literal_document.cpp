#include "literal_document.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "straightforward.h"

namespace korvane::baseline {
namespace {

struct Record {
  std::string line;
  std::string keyword;
  std::vector<std::string> tokens;

  explicit Record(const std::string& text) : line(text), tokens(SplitAtSpaces(text)) {
    if (!tokens.empty()) keyword = tokens[0][0] == '#' ? std::string("#") : tokens[0];
  }
  bool IsVertex() const { return keyword == "v"; }
  // A short line converts the missing coordinates as empty texts: refused.
  double Coordinate(std::size_t i) const {
    return std::stod(i < tokens.size() ? tokens[i] : std::string());
  }
  Eigen::Vector3d GetVertex() const { return {Coordinate(1), Coordinate(2), Coordinate(3)}; }
  void SetVertex(const Eigen::Vector3d& v) {
    tokens.resize(std::max<std::size_t>(tokens.size(), 4));
    for (int i = 0; i < 3; ++i) tokens[static_cast<std::size_t>(i) + 1] = std::to_string(v[i]);
  }
  std::string ToString() const {
    std::string out;
    for (const std::string& t : tokens) {
      out += t;
      out += ' ';
    }
    return out;
  }
};

struct Document {
  std::vector<std::string> lines;
  std::vector<Eigen::Vector3d> vertices;
  Eigen::Affine3d transform = Eigen::Affine3d::Identity();

  void Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::string text;
    while (!in.eof()) {
      std::getline(in, text);
      // What a text-mode reader does with CR LF.
      if (!in.eof() && !text.empty() && text.back() == '\r') text.pop_back();
      lines.push_back(text);
      const Record record(text);
      if (record.IsVertex()) vertices.push_back(record.GetVertex());
    }
  }

  std::string ToString() const {
    const auto& a = transform.matrix();
    std::string out;
    for (const std::string& text : lines) {
      Record record(text);
      if (record.IsVertex()) {
        const Eigen::Vector3d p = record.GetVertex();
        record.SetVertex({((a(0, 0) * p.x() + a(0, 1) * p.y()) + a(0, 2) * p.z()) + a(0, 3),
                          ((a(1, 0) * p.x() + a(1, 1) * p.y()) + a(1, 2) * p.z()) + a(1, 3),
                          ((a(2, 0) * p.x() + a(2, 1) * p.y()) + a(2, 2) * p.z()) + a(2, 3)});
      }
      out += record.ToString();
      out += '\n';
    }
    return out;
  }
};

}  // namespace

void ApplyLiteralDocument(const std::string& target_path, const std::string& output_path,
                          const Eigen::Affine3d& m) {
  Document document;
  document.Load(target_path);
  document.transform = m * document.transform;
  std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + output_path);
  out << document.ToString();
  out.close();
  if (!out) throw std::runtime_error("cannot write " + output_path);
}

}  // namespace korvane::baseline
