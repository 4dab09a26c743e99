#include "cli/report_page.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "cli/report_assets.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/message.h"

namespace korvane::cli {
namespace {

using Triangle = std::array<std::uint32_t, 3>;

// What of one mesh goes into the page.
struct Shown {
  std::vector<std::uint32_t> vertices;  // indices into the input, ascending
  std::vector<Triangle> triangles;      // into `vertices`
  bool has_triangles = false;
};

// Every k-th triangle with the vertices it uses, or every k-th point.
Shown Select(const char* name, std::size_t vertex_count, const std::vector<Triangle>& triangles,
             std::size_t max_triangles, std::size_t max_points) {
  if (vertex_count > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument(std::string("report page: too many ") + name + " vertices");
  }
  Shown shown;
  const auto step = [](std::size_t n, std::size_t cap) {
    return cap == 0 ? n + 1 : (n + cap - 1) / cap;
  };
  if (triangles.empty()) {
    const std::size_t k = step(vertex_count, max_points);
    for (std::size_t i = 0; i < vertex_count; i += k)
      shown.vertices.push_back(static_cast<std::uint32_t>(i));
    return shown;
  }
  shown.has_triangles = true;
  for (const Triangle& t : triangles) {
    if (t[0] >= vertex_count || t[1] >= vertex_count || t[2] >= vertex_count) {
      throw std::invalid_argument(std::string("report page: a ") + name +
                                  " triangle refers to a vertex past the last");
    }
  }
  const std::size_t k = step(triangles.size(), max_triangles);
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> remap(vertex_count, kUnused);
  for (std::size_t i = 0; i < triangles.size(); i += k) {
    for (const std::uint32_t v : triangles[i]) remap[v] = 0;
  }
  // Numbered in input order, which keeps neighbours close in the buffers.
  for (std::size_t v = 0; v < vertex_count; ++v) {
    if (remap[v] == kUnused) continue;
    remap[v] = static_cast<std::uint32_t>(shown.vertices.size());
    shown.vertices.push_back(static_cast<std::uint32_t>(v));
  }
  shown.triangles.reserve(triangles.size() / k + 1);
  for (std::size_t i = 0; i < triangles.size(); i += k) {
    const Triangle& t = triangles[i];
    shown.triangles.push_back({remap[t[0]], remap[t[1]], remap[t[2]]});
  }
  return shown;
}

// Collects small pieces into blocks for the sink.
class Output {
 public:
  explicit Output(const ReportSink& sink) : sink_(sink) { buffer_.reserve(kBlock + 4096); }
  void Put(std::string_view s) {
    if (s.size() >= kBlock) {
      Flush();
      sink_(s);
      return;
    }
    buffer_.append(s);
    if (buffer_.size() >= kBlock) Flush();
  }
  void Flush() {
    if (buffer_.empty()) return;
    sink_(buffer_);
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kBlock = 1u << 16;
  const ReportSink& sink_;
  std::string buffer_;
};

// Base64 of a byte stream fed a few bytes at a time (numbers little-endian).
class Base64 {
 public:
  explicit Base64(Output& out) : out_(out), raw_(kRaw), text_(kRaw / 3 * 4, '\0') {}
  void U32(std::uint32_t v) {
    if (used_ + 4 > kRaw) Encode();
    raw_[used_] = static_cast<unsigned char>(v);
    raw_[used_ + 1] = static_cast<unsigned char>(v >> 8);
    raw_[used_ + 2] = static_cast<unsigned char>(v >> 16);
    raw_[used_ + 3] = static_cast<unsigned char>(v >> 24);
    used_ += 4;
  }
  void F32(double v) {
    const auto f = static_cast<float>(v);
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    U32(bits);
  }
  void Finish() { Encode(); }

 private:
  // raw_ holds a multiple of 3 bytes whenever it is full, so only the last
  // block of a stream can need padding.
  void Encode() {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* const begin = text_.data();
    char* o = begin;
    std::size_t i = 0;
    for (; i + 3 <= used_; i += 3) {
      const std::uint32_t w = static_cast<std::uint32_t>(raw_[i]) << 16 |
                              static_cast<std::uint32_t>(raw_[i + 1]) << 8 | raw_[i + 2];
      *o++ = kDigits[w >> 18];
      *o++ = kDigits[(w >> 12) & 63];
      *o++ = kDigits[(w >> 6) & 63];
      *o++ = kDigits[w & 63];
    }
    if (i < used_) {
      const bool two = i + 2 == used_;
      const std::uint32_t w = static_cast<std::uint32_t>(raw_[i]) << 16 |
                              (two ? static_cast<std::uint32_t>(raw_[i + 1]) << 8 : 0u);
      *o++ = kDigits[w >> 18];
      *o++ = kDigits[(w >> 12) & 63];
      *o++ = two ? kDigits[(w >> 6) & 63] : '=';
      *o++ = '=';
    }
    out_.Put(std::string_view(begin, static_cast<std::size_t>(o - begin)));
    used_ = 0;
  }

  static constexpr std::size_t kRaw = 3 * 4 * 4096;  // whole 4-byte values and 3-byte groups
  Output& out_;
  std::vector<unsigned char> raw_;  // on the heap: large for the stack of a worker thread
  std::string text_;
  std::size_t used_ = 0;
};

// Shortest text that reads back as the same double; null where JSON has no number.
void PutNumber(Output& out, double v) {
  if (!std::isfinite(v)) {
    out.Put("null");
    return;
  }
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  out.Put(std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
}

void PutCount(Output& out, std::size_t n) { out.Put(std::to_string(n)); }

// Inside <script>, "</" could close the element and "<!--" changes how the
// parser reads on; both can only stand inside JSON strings, where "<\/" and
// "\u003c" mean the same characters.
void PutReportJson(Output& out, std::string_view json) {
  std::size_t done = 0;
  for (std::size_t i = json.find('<'); i != std::string_view::npos; i = json.find('<', i + 1)) {
    const std::string_view rest = json.substr(i);
    const char* replacement = nullptr;
    std::size_t skip = 1;
    if (rest.substr(0, 2) == "</") {
      replacement = "<\\/";
      skip = 2;
    } else if (rest.substr(0, 4) == "<!--") {
      replacement = "\\u003c";
    }
    if (!replacement) continue;
    out.Put(json.substr(done, i - done));
    out.Put(replacement);
    done = i + skip;
  }
  out.Put(json.substr(done));
}

void PutReference(Output& out, const std::array<Eigen::Vector3d, 3>& points) {
  out.Put("[");
  for (std::size_t i = 0; i < 3; ++i) {
    out.Put(i ? ",[" : "[");
    for (Eigen::Index c = 0; c < 3; ++c) {
      if (c) out.Put(",");
      PutNumber(out, points[i][c]);
    }
    out.Put("]");
  }
  out.Put("]");
}

void PutMesh(Output& out, const Shown& shown, const std::vector<Eigen::Vector3d>& vertices,
             const std::vector<double>* residuals,
             const std::array<Eigen::Vector3d, 3>& reference) {
  out.Put("{\"positions\":\"");
  {
    Base64 b(out);
    for (const std::uint32_t v : shown.vertices) {
      const Eigen::Vector3d& p = vertices[v];
      b.F32(p.x());
      b.F32(p.y());
      b.F32(p.z());
    }
    b.Finish();
  }
  out.Put("\",\"triangles\":");
  if (shown.has_triangles) {
    out.Put("\"");
    Base64 b(out);
    for (const Triangle& t : shown.triangles) {
      b.U32(t[0]);
      b.U32(t[1]);
      b.U32(t[2]);
    }
    b.Finish();
    out.Put("\"");
  } else {
    out.Put("null");
  }
  if (residuals) {
    out.Put(",\"residuals\":\"");
    Base64 b(out);
    for (const std::uint32_t v : shown.vertices) b.F32((*residuals)[v]);
    b.Finish();
    out.Put("\"");
  }
  out.Put(",\"reference\":");
  PutReference(out, reference);
  out.Put("}");
}

void PutCounts(Output& out, std::size_t base, std::size_t moved) {
  out.Put("{\"base\":");
  PutCount(out, base);
  out.Put(",\"moved\":");
  PutCount(out, moved);
  out.Put("}");
}

std::string_view Asset(const unsigned char* bytes, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(bytes), size);
}

}  // namespace

void WriteReportPage(const ReportPageInput& in, const ReportSink& sink) {
  const auto first = in.report_json.find_first_not_of(" \t\r\n");
  const auto last = in.report_json.find_last_not_of(" \t\r\n");
  if (first == std::string::npos || in.report_json[first] != '{' || in.report_json[last] != '}') {
    throw std::invalid_argument("report page: the report is not a JSON object");
  }
  if (in.base_residuals.size() != in.base_vertices.size()) {
    throw std::invalid_argument("report page: the base has " +
                                std::to_string(in.base_vertices.size()) + " vertices but " +
                                std::to_string(in.base_residuals.size()) + " residuals");
  }
  const Shown base =
      Select("base", in.base_vertices.size(), in.base_triangles, in.max_triangles, in.max_points);
  const Shown moved = Select("moved", in.moved_vertices.size(), in.moved_triangles,
                             in.max_triangles, in.max_points);
  Output out(sink);
  out.Put(Asset(report_assets::kPageHead, report_assets::kPageHeadSize));
  out.Put("{\"report\":");
  PutReportJson(out, in.report_json);
  out.Put(",\"view\":{\"base\":");
  PutMesh(out, base, in.base_vertices, &in.base_residuals, in.base_reference);
  out.Put(",\"moved\":");
  PutMesh(out, moved, in.moved_vertices, nullptr, in.moved_reference);
  out.Put(",\"shown\":{\"triangles\":");
  PutCounts(out, base.triangles.size(), moved.triangles.size());
  out.Put(",\"points\":");
  PutCounts(out, base.vertices.size(), moved.vertices.size());
  out.Put("},\"total\":{\"triangles\":");
  PutCounts(out, in.base_triangles.size(), in.moved_triangles.size());
  out.Put(",\"points\":");
  PutCounts(out, in.base_vertices.size(), in.moved_vertices.size());
  out.Put("}");
  if (!in.base_name.empty() || !in.moved_name.empty()) {
    // Names are bytes: what is not UTF-8 shows as U+FFFD.
    const nlohmann::json files = {{"base", in.base_name}, {"moved", in.moved_name}};
    out.Put(",\"files\":");
    PutReportJson(out, files.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  out.Put("}}");
  out.Put(Asset(report_assets::kPageTail, report_assets::kPageTailSize));
  out.Flush();
}

std::string BuildReportPage(const ReportPageInput& input) {
  std::string page;
  WriteReportPage(input, [&page](std::string_view piece) { page.append(piece); });
  return page;
}

void WriteFitPage(const std::string& path, const matrix::FitReport& r, const std::string& base_name,
                  const std::string& moved_name, const std::string& json, const obj::Mesh& base,
                  const obj::Mesh& moved) {
  ReportPageInput in;
  in.report_json = json;
  in.base_name = platform::ToUtf8(text::Message().Host(base_name));
  in.moved_name = platform::ToUtf8(text::Message().Host(moved_name));
  in.base_vertices.reserve(base.vertices.size());
  for (const geometry::Vector3& v : base.vertices) {
    in.base_vertices.push_back(geometry::TransformPoint(r.matrix, v));
  }
  in.base_triangles = base.triangles;
  in.base_residuals = r.result.distances;
  in.moved_vertices = moved.vertices;
  in.moved_triangles = moved.triangles;
  if (r.reference) {
    const auto at = [](const std::vector<geometry::Vector3>& v, std::int32_t i) {
      return v[static_cast<std::size_t>(i)];
    };
    const geometry::ReferenceIndices& b = r.reference->base;
    const geometry::ReferenceIndices& m = r.reference->moved;
    in.base_reference = {in.base_vertices[static_cast<std::size_t>(b.a)],
                         in.base_vertices[static_cast<std::size_t>(b.b)],
                         in.base_vertices[static_cast<std::size_t>(b.c)]};
    in.moved_reference = {at(moved.vertices, m.a), at(moved.vertices, m.b),
                          at(moved.vertices, m.c)};
  }
  platform::AtomicOutput out(path);
  WriteReportPage(in, [&out](std::string_view piece) { out.Write(piece); });
  out.Commit();
}

}  // namespace korvane::cli
