// The report of a measurement: the JSON a pipeline reads, and its verdicts.
#include "matrix/fit_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fit_meshes.h"
#include "matrix/matrix_file.h"
#include "split_mix.h"
#include "text/error.h"

namespace korvane {
namespace {

using geometry::FitKind;
using nlohmann::json;

struct Pair {
  obj::Mesh base, moved;
  geometry::Matrix4 truth;
};

Pair MovedCopy(std::uint64_t seed) {
  testing::SplitMix rng(seed);
  Pair p;
  p.base = testing::GeneratedMesh(3000, seed);
  p.truth = testing::RandomSimilarity(rng, testing::Diagonal(p.base.vertices));
  p.moved = p.base;
  p.moved.vertices = testing::MovedRounded(p.base.vertices, p.truth);
  return p;
}

geometry::FitOptions Fit(FitKind kind) {
  geometry::FitOptions o;
  o.kind = kind;
  return o;
}

TEST(FitReport, JsonOfAnExactCopy) {
  const Pair p = MovedCopy(5);
  const matrix::FitReport r = matrix::MeasureFit(p.base, p.moved, Fit(FitKind::three_point));
  const json j = json::parse(matrix::FitReportJson(r));
  EXPECT_EQ(j["fit"], "three-point");
  EXPECT_EQ(j["topology"], "same");
  EXPECT_TRUE(j["fits"].get<bool>());
  EXPECT_TRUE(j["cause"].is_null());
  EXPECT_EQ(j["reference_vertices"]["base"], j["reference_vertices"]["moved"]);
  EXPECT_EQ(j["residual"]["paired"]["count"], p.base.vertices.size());
  EXPECT_EQ(j["residual"]["surface"]["to"], "surface");
  // The matrix is the one the matrix file holds, number for number.
  const geometry::Matrix4 written =
      matrix::ParseMatrixText(matrix::FormatMatrixText(r.matrix), "active.matrix");
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(j["matrix"][i][k].get<double>(),
                written.matrix()(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(k)));
    }
  }
  EXPECT_NEAR(j["scale"].get<double>(), std::cbrt(p.truth.linear().determinant()), 1e-6);
  EXPECT_LT(
      testing::MotionError(p.base.vertices, p.truth, r.matrix, testing::Diagonal(p.base.vertices)),
      1e-6);
}

TEST(FitReport, ShuffledCopyIsFlaggedAndIcpRecoversIt) {
  Pair p = MovedCopy(9);
  testing::SplitMix rng(3);
  p.moved = testing::Shuffle(p.moved, rng);
  const matrix::FitReport three = matrix::MeasureFit(p.base, p.moved, Fit(FitKind::three_point));
  EXPECT_FALSE(three.result.fits);
  const json j = json::parse(matrix::FitReportJson(three));
  EXPECT_EQ(j["cause"], "vertex order differs");
  EXPECT_NE(j["message"].get<std::string>().find("--fit icp"), std::string::npos);
  // Relative values are the absolute ones over the moved mesh's bounding diagonal.
  const double size = geometry::BoundingDiagonal(p.moved.vertices);
  for (const char* which : {"surface", "paired"}) {
    const json& r = j["residual"][which];
    ASSERT_GT(r["max"].get<double>(), 0.0) << which;
    for (const char* stat : {"rms", "median", "p95", "max"}) {
      EXPECT_NEAR(r["relative"][stat].get<double>() * size, r[stat].get<double>(),
                  1e-12 * r[stat].get<double>())
          << which << " " << stat;
    }
  }

  const matrix::FitReport fitted = matrix::MeasureFit(p.base, p.moved, Fit(FitKind::icp));
  EXPECT_TRUE(fitted.result.fits) << matrix::Verdict(fitted);
  EXPECT_GT(fitted.result.iterations, 0);
  EXPECT_LT(testing::MotionError(p.base.vertices, p.truth, fitted.matrix,
                                 testing::Diagonal(p.base.vertices)),
            1e-4);
}

TEST(FitReport, BadInputIsRefused) {
  const Pair p = MovedCopy(2);
  obj::Mesh fewer = p.moved;
  fewer.vertices.pop_back();
  fewer.triangles.clear();
  obj::Mesh line;
  line.vertices = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
  obj::Mesh empty;
  const geometry::FitOptions ls = Fit(FitKind::least_squares), three = Fit(FitKind::three_point);
  const struct {
    const obj::Mesh& base;
    const obj::Mesh& moved;
    geometry::FitOptions request;
  } cases[] = {
      {p.base, fewer, ls}, {p.base, line, three}, {empty, p.moved, three}, {p.base, empty, ls}};
  for (const auto& c : cases) {
    EXPECT_THROW(matrix::MeasureFit(c.base, c.moved, c.request), Error);
  }
}

}  // namespace
}  // namespace korvane
