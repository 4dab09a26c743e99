#include "cli/report_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::cli {
namespace {

const char kReport[] = R"({"fit":"three-point","fits":true,"message":"ok"})";

// The JSON text inside the page's data element.
std::string DataOf(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"korvane-data\">";
  const auto start = page.find(open);
  EXPECT_NE(start, std::string::npos);
  const auto begin = start + open.size();
  const auto end = page.find("</script>", begin);
  EXPECT_NE(end, std::string::npos);
  return page.substr(begin, end - begin);
}

// The text of the string value that follows `key` (e.g. "\"positions\":\"").
std::string StringAfter(const std::string& data, const std::string& key, std::size_t from = 0) {
  const auto at = data.find(key, from);
  if (at == std::string::npos) return "<missing " + key + ">";
  const auto begin = at + key.size();
  return data.substr(begin, data.find('"', begin) - begin);
}

std::vector<unsigned char> Decode(const std::string& text) {
  static const std::string digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  EXPECT_EQ(text.size() % 4, 0u) << text;
  std::vector<unsigned char> out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    const auto v = digits.find(c);
    EXPECT_NE(v, std::string::npos) << "not base64: " << c;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>(acc >> bits));
    }
  }
  return out;
}

template <class T>
std::vector<T> DecodeAs(const std::string& text) {
  const std::vector<unsigned char> bytes = Decode(text);
  EXPECT_EQ(bytes.size() % sizeof(T), 0u);
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty())
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));  // x86: little-endian
  return out;
}

ReportPageInput Small() {
  ReportPageInput in;
  in.report_json = kReport;
  in.base_vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1.5, -2.25, 1e-3}};
  in.base_triangles = {{0, 1, 2}, {0, 2, 3}, {1, 3, 4}};
  in.base_residuals = {0.5, 0.25, 1e-7, 3.0, 0.1};
  in.moved_vertices = {{2, 0, 0}, {3, 0, 0}, {2, 1, 0}, {2, 0, 1}};
  in.base_reference = {Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(1, 0, 0),
                       Eigen::Vector3d(0.1, 0.2, 0.3)};
  in.moved_reference = {Eigen::Vector3d(2, 0, 0), Eigen::Vector3d(3, 0, 0),
                        Eigen::Vector3d(2, 1, 0)};
  return in;
}

TEST(ReportPage, CarriesMeshesResidualsAndReportIntact) {
  const ReportPageInput in = Small();
  const std::string page = BuildReportPage(in);
  EXPECT_EQ(page.rfind("<!doctype html>", 0), 0u);
  EXPECT_NE(page.find("</html>"), std::string::npos);
  const std::string data = DataOf(page);
  EXPECT_EQ(data.rfind(std::string("{\"report\":") + kReport + ",\"view\":{", 0), 0u) << data;

  const auto positions = DecodeAs<float>(StringAfter(data, "\"base\":{\"positions\":\""));
  ASSERT_EQ(positions.size(), 15u);
  for (std::size_t i = 0; i < 5; ++i) {
    for (Eigen::Index c = 0; c < 3; ++c)
      EXPECT_EQ(positions[3 * i + static_cast<std::size_t>(c)],
                static_cast<float>(in.base_vertices[i][c]));
  }
  EXPECT_EQ(DecodeAs<std::uint32_t>(StringAfter(data, "\"triangles\":\"")),
            (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 1, 3, 4}));
  EXPECT_EQ(DecodeAs<float>(StringAfter(data, "\"residuals\":\"")),
            (std::vector<float>{0.5f, 0.25f, 1e-7f, 3.0f, 0.1f}));
  EXPECT_NE(data.find("\"reference\":[[0,0,0],[1,0,0],[0.1,0.2,0.3]]"), std::string::npos);

  // The moved mesh has no triangles: all its points, no residuals.
  const auto moved_at = data.find("\"moved\":{");
  ASSERT_NE(moved_at, std::string::npos);
  EXPECT_EQ(DecodeAs<float>(StringAfter(data, "\"positions\":\"", moved_at)).size(), 12u);
  EXPECT_NE(data.find("\"triangles\":null", moved_at), std::string::npos);
  EXPECT_EQ(data.find("\"residuals\"", moved_at), std::string::npos);
  EXPECT_NE(
      data.find(
          "\"shown\":{\"triangles\":{\"base\":3,\"moved\":0},\"points\":{\"base\":5,\"moved\":4}},"
          "\"total\":{\"triangles\":{\"base\":3,\"moved\":0},\"points\":{\"base\":5,\"moved\":4}}}"
          "}"),
      std::string::npos)
      << data;
}

TEST(ReportPage, Base64MatchesKnownTextAcrossPaddingAndBlocks) {
  ReportPageInput in = Small();
  in.base_triangles.clear();
  in.base_vertices.resize(1);
  in.base_residuals = {1.0};  // bytes 00 00 80 3f
  EXPECT_EQ(StringAfter(DataOf(BuildReportPage(in)), "\"residuals\":\""), "AACAPw==");
  in.base_vertices.resize(2);
  in.base_residuals = {1.0, 2.0};  // 00 00 80 3f 00 00 00 40
  EXPECT_EQ(StringAfter(DataOf(BuildReportPage(in)), "\"residuals\":\""), "AACAPwAAAEA=");

  // Many encoder blocks: every value must come back in its place.
  const std::size_t n = 100003;
  in.base_vertices.assign(n, Eigen::Vector3d::Zero());
  in.base_residuals.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    in.base_vertices[i] = Eigen::Vector3d(static_cast<double>(i), -0.5 * static_cast<double>(i),
                                          1.0 / (1.0 + static_cast<double>(i)));
    in.base_residuals[i] = static_cast<double>(i % 977) * 1e-3;
  }
  const std::string data = DataOf(BuildReportPage(in));
  const auto positions = DecodeAs<float>(StringAfter(data, "\"positions\":\""));
  const auto residuals = DecodeAs<float>(StringAfter(data, "\"residuals\":\""));
  ASSERT_EQ(positions.size(), 3 * n);
  ASSERT_EQ(residuals.size(), n);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (Eigen::Index c = 0; c < 3; ++c)
      wrong += positions[3 * i + static_cast<std::size_t>(c)] !=
               static_cast<float>(in.base_vertices[i][c]);
    wrong += residuals[i] != static_cast<float>(in.base_residuals[i]);
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(ReportPage, ThinsLargeMeshesEvenly) {
  ReportPageInput in = Small();
  // Ten triangles over twelve vertices; at most three shown: every fourth.
  in.base_vertices.clear();
  in.base_residuals.clear();
  for (int i = 0; i < 12; ++i) {
    in.base_vertices.emplace_back(i, 2 * i, 3 * i);
    in.base_residuals.push_back(0.01 * i);
  }
  in.base_triangles.clear();
  for (std::uint32_t t = 0; t < 10; ++t) in.base_triangles.push_back({t, t + 1, t + 2});
  in.max_triangles = 3;
  // The moved mesh has no triangles: every third of its ten points.
  in.moved_vertices.clear();
  for (int i = 0; i < 10; ++i) in.moved_vertices.emplace_back(i, 0, 0);
  in.max_points = 4;

  const std::string data = DataOf(BuildReportPage(in));
  // Triangles 0, 4, 8 use vertices 0-2, 4-6, 8-10, numbered in input order.
  EXPECT_EQ(DecodeAs<std::uint32_t>(StringAfter(data, "\"triangles\":\"")),
            (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  const auto positions = DecodeAs<float>(StringAfter(data, "\"positions\":\""));
  const auto residuals = DecodeAs<float>(StringAfter(data, "\"residuals\":\""));
  const std::vector<int> kept = {0, 1, 2, 4, 5, 6, 8, 9, 10};
  ASSERT_EQ(positions.size(), 3 * kept.size());
  ASSERT_EQ(residuals.size(), kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    EXPECT_EQ(positions[3 * k + 1], static_cast<float>(2 * kept[k]));
    EXPECT_EQ(residuals[k], static_cast<float>(0.01 * kept[k]));
  }
  const auto moved_at = data.find("\"moved\":{");
  const auto moved = DecodeAs<float>(StringAfter(data, "\"positions\":\"", moved_at));
  EXPECT_EQ(moved, (std::vector<float>{0, 0, 0, 3, 0, 0, 6, 0, 0, 9, 0, 0}));
  EXPECT_NE(
      data.find(
          "\"shown\":{\"triangles\":{\"base\":3,\"moved\":0},\"points\":{\"base\":9,\"moved\":4}},"
          "\"total\":{\"triangles\":{\"base\":10,\"moved\":0},\"points\":{\"base\":12,\"moved\":10}"
          "}"),
      std::string::npos)
      << data;
}

TEST(ReportPage, TextCannotEndTheDataElement) {
  ReportPageInput in = Small();
  in.report_json = R"({"message":"a </script><script>alert(1)</script> and <!-- <script> x"})";
  const std::string page = BuildReportPage(in);
  const std::string data = DataOf(page);
  // DataOf stops at the first "</script>": it must be the element's own.
  EXPECT_NE(
      data.find(
          R"({"report":{"message":"a <\/script><script>alert(1)<\/script> and \u003c!-- <script> x"},)"),
      std::string::npos)
      << data;
  EXPECT_EQ(page.compare(page.find(data) + data.size(), 17, "</script>\n<script"), 0);
}

TEST(ReportPage, RefusesInconsistentInput) {
  ReportPageInput in = Small();
  in.base_residuals.pop_back();
  EXPECT_THROW(BuildReportPage(in), std::invalid_argument);
  in = Small();
  in.moved_triangles = {{0, 1, 4}};  // the moved mesh has four vertices
  EXPECT_THROW(BuildReportPage(in), std::invalid_argument);
  in = Small();
  in.report_json = "";
  EXPECT_THROW(BuildReportPage(in), std::invalid_argument);
}

}  // namespace
}  // namespace korvane::cli
