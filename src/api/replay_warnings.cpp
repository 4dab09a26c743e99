#include "api/replay_warnings.h"

#include <cstdio>

namespace korvane::api {
namespace {

std::string Lines(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Number(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", x);
  return buf;
}

}  // namespace

std::string DescribeReplayWarning(obj::ReplayWarningKind kind, const obj::ReplayCounts& counts,
                                  const obj::ReplayStyle& style) {
  const obj::ReplayWarning& w = counts.warnings[static_cast<std::size_t>(kind)];
  switch (kind) {
    case obj::ReplayWarningKind::not_a_vertex_line:
      return Lines(w.count, "line starts", "lines start") +
             " with \"v\" and a tab: fields are split at spaces, so they are no vertex records "
             "and were copied unmoved (replace the tabs with spaces)";
    case obj::ReplayWarningKind::trailing_text:
      return Lines(w.count, "vertex line has", "vertex lines have") +
             " text after a coordinate's number (\"1,5\" reads as 1): only the number was read "
             "(write decimal points, not commas)";
    case obj::ReplayWarningKind::non_finite:
      return Lines(w.count, "vertex line has", "vertex lines have") +
             " a coordinate that is nan or infinite, written as such";
    case obj::ReplayWarningKind::carriage_return:
      return Lines(w.count, "line holds", "lines hold") +
             " a carriage return: the file's line ends are not line feeds, so its lines were "
             "not seen apart (convert them, e.g. tr '\\r' '\\n')";
    case obj::ReplayWarningKind::normals_not_turned:
      return Lines(w.count, "normal (vn line) was", "normals (vn lines) were") +
             " copied unturned while the motion turns: shading will be wrong (pass --normals)";
    case obj::ReplayWarningKind::precision: {
      const std::string digits =
          style.digits == 6 ? "six decimals" : std::to_string(style.digits) + " decimals";
      const double share = counts.size > 0.0 ? counts.largestRounding / counts.size : 0.0;
      return digits + " move vertices by up to " + Number(counts.largestRounding) + ", " +
             Number(share) + " of the mesh's size (the worst here): pass --digits shortest to " +
             "write every vertex exactly";
    }
  }
  return "unexpected warning";
}

}  // namespace korvane::api
