// The report of a measurement: the JSON a pipeline reads, and its verdicts.
#include "matrix/fit_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <tuple>

#include "api/replay_warnings.h"
#include "cli/flag_hints.h"
#include "fit_meshes.h"
#include "matrix/matrix_file.h"
#include "matrix/verdict.h"
#include "split_mix.h"
#include "test_support.h"
#include "text/error.h"

namespace korvane {
namespace {

using geometry::FitKind;
using geometry::Vector3;
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
  const json j = json::parse(matrix::FitReportJson(r, matrix::kLibraryHints));
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
  const json j = json::parse(matrix::FitReportJson(three, matrix::kLibraryHints));
  EXPECT_EQ(j["cause"], "vertex order differs");
  EXPECT_NE(j["message"].get<std::string>().find("Try the ICP fit."), std::string::npos);
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
  EXPECT_TRUE(fitted.result.fits) << testing::VerdictText(fitted);
  EXPECT_GT(fitted.result.iterations, 0);
  EXPECT_LT(testing::MotionError(p.base.vertices, p.truth, fitted.matrix,
                                 testing::Diagonal(p.base.vertices)),
            1e-4);
}

// The base's faces are read from its file only when ICP runs, and then its
// triangles are matched: a keyed hub with 2% of its vertices removed, which
// the search from starts alone can turn wrong.
TEST(FitReport, BaseFacesAreReadOnlyForIcp) {
  testing::Mesh hub;
  for (testing::NamedMesh& s : testing::SymmetricShapes())
    if (s.name == "hub, keyed") hub = std::move(s.mesh);
  const testing::ScratchDir dir;
  std::FILE* f = std::fopen((dir / "base.obj").c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (const Vector3& v : hub.vertices)
    std::fprintf(f, "v %.17g %.17g %.17g\n", v.x(), v.y(), v.z());
  for (const geometry::Triangle& t : hub.triangles)
    std::fprintf(f, "f %u %u %u\n", t[0] + 1, t[1] + 1, t[2] + 1);
  std::fclose(f);
  obj::Mesh base;
  base.vertices = hub.vertices;
  testing::SplitMix rng(12);
  const geometry::Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(hub.vertices));
  obj::Mesh plain = hub, removed = testing::RemoveVertices(hub, 0.02, rng);
  plain.vertices = testing::MovedRounded(hub.vertices, truth);
  removed.vertices = testing::MovedRounded(removed.vertices, truth);
  const geometry::FitOptions automatic;
  EXPECT_TRUE(matrix::MeasureFit(base, plain, automatic, dir / "missing.obj").result.fits);
  EXPECT_THROW(matrix::MeasureFit(base, removed, automatic, dir / "missing.obj"), Error);
  const matrix::FitReport r = matrix::MeasureFit(base, removed, automatic, dir / "base.obj");
  EXPECT_EQ(r.kind, FitKind::icp);
  EXPECT_TRUE(r.result.fits) << testing::VerdictText(r);
  EXPECT_LT(
      testing::MotionError(hub.vertices, truth, r.matrix, testing::Diagonal(removed.vertices)),
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

// Each verdict says what happened to the copy, and a fit never carries a cause.
TEST(FitReport, VerdictsSayWhatHappened) {
  const Pair p = MovedCopy(7);
  const double size = geometry::BoundingDiagonal(p.moved.vertices);
  const auto measure = [](const obj::Mesh& base, const obj::Mesh& moved, FitKind kind,
                          std::optional<double> trim = std::nullopt) {
    geometry::FitOptions o = Fit(kind);
    o.trim = trim;
    const matrix::FitReport r = matrix::MeasureFit(base, moved, o);
    return std::make_pair(r, json::parse(matrix::FitReportJson(r, matrix::kLibraryHints)));
  };
  // Edited: every 25th vertex of the copy pushed out by a quarter of its size.
  obj::Mesh edited = p.moved;
  for (std::size_t i = 0; i < edited.vertices.size(); i += 25)
    edited.vertices[i] += 0.25 * size * Vector3(0.0, 0.6, 0.8);
  auto [r, j] = measure(p.base, edited, FitKind::automatic);
  EXPECT_TRUE(r.result.fits);
  const std::size_t pushed = (edited.vertices.size() + 24) / 25;
  EXPECT_EQ(r.result.outliers, pushed);
  // Measured to the stretched surface around each pushed vertex.
  EXPECT_GT(r.result.largestOutlier, 0.01 * size);
  EXPECT_LE(r.result.largestOutlier, 0.25 * size);
  EXPECT_NE(j["message"].get<std::string>().find("fits, except " + std::to_string(pushed) +
                                                 " vertices (4"),
            std::string::npos)
      << j["message"];
  EXPECT_TRUE(j["cause"].is_null());
  EXPECT_EQ(j["outliers"]["count"], pushed);

  // Cut: the 30% of the copy farthest along one axis gone. Judged on the part kept with --trim.
  std::vector<char> keep(p.base.vertices.size());
  std::vector<double> xs;
  for (const Vector3& v : p.base.vertices) xs.push_back(v.x());
  const std::size_t cut_at = xs.size() * 7 / 10;
  std::nth_element(xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(cut_at), xs.end());
  for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = p.base.vertices[i].x() < xs[cut_at];
  const obj::Mesh cut = testing::KeepVertices(p.moved, keep);
  std::tie(r, j) = measure(p.base, cut, FitKind::icp);
  EXPECT_FALSE(r.result.fits) << j["message"];
  EXPECT_EQ(j["cause"], "vertices added or removed");
  // Found and judged on the 70% kept (its matched triangles land too few
  // vertices to be sure: they join the search from starts).
  std::tie(r, j) = measure(p.base, cut, FitKind::icp, 0.3);
  EXPECT_TRUE(r.result.fits) << j["message"];
  EXPECT_LT(testing::MotionError(p.base.vertices, p.truth, r.matrix, size), 1e-4);
  EXPECT_EQ(j["judged_share"], 0.7);
  EXPECT_NEAR(j["overlap"].get<double>(), 0.7, 0.03);
  EXPECT_NE(j["message"].get<std::string>().find("(trim 0.3)"), std::string::npos);

  // A mirror image, vertex order kept: no fit finds a turn, and it says so.
  obj::Mesh mirror = p.base;
  for (Vector3& v : mirror.vertices) v.z() = -v.z();
  mirror.vertices = testing::MovedRounded(mirror.vertices, p.truth);
  for (const FitKind kind : {FitKind::three_point, FitKind::least_squares, FitKind::icp}) {
    std::tie(r, j) = measure(p.base, mirror, kind);
    EXPECT_FALSE(r.result.fits) << geometry::FitName(kind);
    EXPECT_EQ(j["cause"], "mirror image") << geometry::FitName(kind);
  }

  // A shuffled copy fitted: no cause, a note on the order.
  testing::SplitMix rng(3);
  std::tie(r, j) = measure(p.base, testing::Shuffle(p.moved, rng), FitKind::icp);
  EXPECT_TRUE(r.result.fits);
  EXPECT_TRUE(j["cause"].is_null());
  EXPECT_NE(j["note"].get<std::string>().find("another order"), std::string::npos);

  // A search cut short never blames the vertex order.
  r.result.fits = false;
  r.result.shortfall = geometry::Shortfall::residual;
  r.result.likelyCause = geometry::LikelyCause::vertex_order_differs;
  r.result.hitIterationLimit = true;
  EXPECT_STREQ(matrix::CauseName(r), "stopped at the iteration limit");
  EXPECT_EQ(testing::VerdictText(r).find("order"), std::string::npos) << testing::VerdictText(r);
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Words a Japanese user may read in English: the command line's flags.
const std::vector<std::string> kFlags = {
    "--fit least-squares", "--fit icp", "--max-iterations", "--trim", "--normals",
    "--digits shortest",   "nan"};

// Every branch of the verdict is worded in both languages: a Japanese user
// reads no English word but the flags the command line names.
TEST(Verdict, EveryBranchIsWordedInJapanese) {
  struct Case {
    bool fits, ambiguous, loose, limit, part;
    geometry::Shortfall shortfall;
    geometry::LikelyCause cause;
    std::size_t outliers;
  };
  using S = geometry::Shortfall;
  using C = geometry::LikelyCause;
  const Case cases[] = {
      {true, false, false, false, false, S::none, C::none, 0},
      {true, true, false, false, true, S::none, C::vertex_order_differs, 12},
      {true, true, true, false, false, S::none, C::vertex_order_differs, 0},
      {false, false, false, false, false, S::mirror_image, C::not_a_similar_copy, 0},
      {false, false, false, false, false, S::scale, C::vertices_added_or_removed, 0},
      {false, false, false, true, true, S::residual, C::vertex_order_differs, 40},
      {false, false, false, false, false, S::residual, C::vertices_added_or_removed, 40},
      {false, false, false, false, false, S::residual, C::not_a_similar_copy, 40},
  };
  const matrix::Hints both[] = {matrix::kLibraryHints, cli::kFlagHints};
  for (const matrix::Hints& hints : both) {
    for (const Case& c : cases) {
      matrix::FitReport r;
      r.kind = FitKind::three_point;
      r.tolerance = 1e-5;
      geometry::FitResult& f = r.result;
      f.fits = c.fits;
      f.ambiguous = c.ambiguous;
      f.loose = c.loose;
      if (c.ambiguous) f.alternatives.resize(2);
      f.hitIterationLimit = c.limit;
      f.judgedShare = c.part ? 0.7 : 1.0;
      f.shortfall = c.shortfall;
      f.likelyCause = c.cause;
      f.outliers = c.outliers;
      f.residuals.surface.count = 1000;
      f.residuals.surface.length = 2.0;
      const text::Message messages[] = {matrix::VerdictMessage(r, hints), matrix::NoteMessage(r)};
      for (const text::Message& m : messages) {
        testing::ExpectJapanese(m, kFlags);
      }
      // A loose motion is told apart from a symmetric mesh in the JSON too.
      EXPECT_EQ(json::parse(matrix::FitReportJson(r, hints))["loose"], c.loose);
    }
  }
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

TEST(ReplayWarning, EveryKindIsWordedInJapanese) {
  obj::ReplayCounts counts;
  counts.size = 2.0;
  counts.largestRounding = 1e-5;
  obj::ReplayStyle style;
  const api::ReplayHints both[] = {api::kLibraryReplayHints, cli::kFlagReplayHints};
  for (const api::ReplayHints& hints : both) {
    for (std::size_t k = 0; k < obj::kReplayWarningKinds; ++k) {
      for (const std::uint64_t n : {1u, 7u}) {
        counts.warnings[k].count = n;
        style.digits = n == 1 ? 6 : 9;
        testing::ExpectJapanese(
            api::ReplayWarningMessage(static_cast<obj::ReplayWarningKind>(k), counts, style, hints),
            kFlags);
      }
    }
  }
}

}  // namespace
}  // namespace korvane
