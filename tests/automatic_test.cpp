// The tolerance and trim a fit chooses itself: the roughness and overlap
// estimates, and fits of scans and partial copies with and without them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fit_meshes.h"
#include "geometry/fit.h"
#include "geometry/overlap.h"
#include "geometry/roughness.h"
#include "matrix/fit_report.h"
#include "matrix/verdict.h"
#include "platform/platform.h"
#include "split_mix.h"

namespace korvane {
namespace {

using namespace korvane::geometry;
using testing::Mesh;
using testing::SplitMix;

double Gaussian(SplitMix& rng) {
  const double u = std::max(rng.Uniform(), 1e-300);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * rng.Uniform());
}

// `n` random points on a unit sphere, pushed off it along the normal by noise of RMS `sigma`.
std::vector<Vector3> NoisySphere(std::size_t n, double sigma, SplitMix& rng) {
  std::vector<Vector3> v;
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 u = testing::RandomUnit(rng);
    v.push_back(u * (1.0 + sigma * Gaussian(rng)));
  }
  return v;
}

TEST(Roughness, NoiseAndSpacingOfGeneratedScans) {
  struct Case {
    std::size_t points;
    double sigma;
  };
  for (const Case c : {Case{20000, 1e-3}, Case{20000, 5e-3}, Case{80000, 2e-3}}) {
    SplitMix rng(c.points + static_cast<std::uint64_t>(c.sigma * 1e6));
    const Roughness r = EstimateRoughness(NoisySphere(c.points, c.sigma, rng));
    // Points at random on a surface: the median nearest neighbour lies at
    // sqrt(ln 2 / (pi density)).
    const double spacing = std::sqrt(std::log(2.0) * 4.0 / static_cast<double>(c.points));
    SCOPED_TRACE(std::to_string(c.points) + " points, noise " + std::to_string(c.sigma));
    EXPECT_GT(r.noise, c.sigma / 2.0);
    EXPECT_LT(r.noise, c.sigma * 2.0);
    EXPECT_GT(r.spacing, spacing / 2.0);
    EXPECT_LT(r.spacing, spacing * 2.0);
  }
}

TEST(Roughness, ExactGridDuplicatesAndTooFewPoints) {
  // A flat grid written twice over (as split seams do): its step, no noise.
  std::vector<Vector3> grid;
  for (int twice = 0; twice < 2; ++twice)
    for (int i = 0; i < 60; ++i)
      for (int k = 0; k < 60; ++k) grid.emplace_back(0.01 * i, 0.01 * k, 0.0);
  const Roughness r = EstimateRoughness(grid);
  EXPECT_NEAR(r.spacing, 0.01, 1e-12);
  EXPECT_LT(r.noise, 1e-12);
  EXPECT_EQ(EstimateRoughness({grid.begin(), grid.begin() + 20}).sampled, 0u);
}

// A coarse part's vertices scatter off any smooth surface at its creases,
// which is no blur of its surface: measured onto its faces, its scan is
// held to the scan's own noise. The pose turned over (the dents on the
// other sides) does not fit under the automatic tolerance; the truth does.
TEST(Roughness, ACoarsePartsCreasesDoNotWidenItsScansTolerance) {
  Mesh base = testing::BoxMesh(Vector3(1, 0.7, 0.4), 3);  // 56 vertices
  // One vertex inside the top face pushed in: a dent off its centre.
  Vector3* dent = nullptr;
  for (Vector3& p : base.vertices) {
    if (p.z() == 0.4 && std::abs(p.x()) < 1.0 && std::abs(p.y()) < 0.7 &&
        (!dent || p.x() + p.y() > dent->x() + dent->y()))
      dent = &p;
  }
  dent->z() = 0.25;
  SplitMix rng(29);
  const Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(base.vertices));
  Mesh moved = base;
  for (Vector3& p : moved.vertices) p = TransformPoint(truth, p);
  const double size = testing::Diagonal(moved.vertices);
  std::vector<Vector3> scan = testing::SampleSurface(moved, 2000, rng);
  testing::AddNoise(scan, 2e-4 * size, rng);
  const std::vector<Triangle> none;
  const FitTarget target(scan, none);
  Matrix4 over = truth;
  over.linear() = truth.linear() * Eigen::AngleAxisd(M_PI, Vector3::UnitX()).toRotationMatrix();

  const Tolerances t =
      ToleranceFor({EstimateRoughness(scan), size, false},
                   {EstimateRoughness(base.vertices), testing::Diagonal(base.vertices), true});
  FitOptions o;
  o.tolerance = t.forward;
  o.reverseTolerance = t.reverse;
  EXPECT_TRUE(EvaluateMotion(base.vertices, base.triangles, target, truth, o).fits);
  const FitResult wrong = EvaluateMotion(base.vertices, base.triangles, target, over, o);
  EXPECT_FALSE(wrong.fits) << t.reverse << " " << wrong.judgedReverseP95Relative;

  o = FitOptions();
  o.autoTolerance = true;
  const FitResult r = FitMotion(base.vertices, base.triangles, target, o);
  EXPECT_TRUE(r.fits);
  EXPECT_LT(testing::MotionError(base.vertices, truth, r.matrix, size), 5e-3);
}

TEST(Overlap, ShareAndTrim) {
  SplitMix rng(3);
  std::vector<double> partial, noisy;
  // 70% on the copy within noise 1e-3, the rest trailing off to 0.3.
  for (int i = 0; i < 7000; ++i) partial.push_back(std::abs(1e-3 * Gaussian(rng)));
  for (int i = 0; i < 3000; ++i) partial.push_back(0.3 * rng.Uniform() + 0.01);
  // All on the copy, with noise far beyond the tolerance: not a partial copy.
  for (int i = 0; i < 10000; ++i) noisy.push_back(std::abs(1e-2 * Gaussian(rng)));
  EXPECT_NEAR(EstimateOverlap(partial, 1e-5).share, 0.7, 0.01);
  EXPECT_GT(EstimateOverlap(noisy, 1e-5).share, 0.99);
  EXPECT_EQ(EstimateOverlap({}, 1.0).share, 0.0);
  EXPECT_EQ(TrimForOverlap(0.99), 0.0);
  EXPECT_NEAR(TrimForOverlap(0.7), 0.32, 1e-12);
  EXPECT_EQ(TrimForOverlap(0.2), kMostTrim);
}

class AutomaticChoices : public ::testing::Test {
 protected:
  AutomaticChoices() : base_(testing::GeneratedMesh(3000, 5)), rng_(17) {
    truth_ = testing::RandomSimilarity(rng_, testing::Diagonal(base_.vertices));
  }
  // Three times as many points as the base has, at random on the moved
  // surface, with noise of `noise` of its size; no faces.
  Mesh Scan(double noise) {
    Mesh moved = base_;
    for (Vector3& p : moved.vertices) p = TransformPoint(truth_, p);
    const double size = testing::Diagonal(moved.vertices);
    Mesh scan;
    for (std::size_t i = 0; i < 3 * base_.vertices.size(); ++i) {
      const Triangle& t = moved.triangles[static_cast<std::size_t>(
          rng_.Int(static_cast<int>(moved.triangles.size())))];
      double a = rng_.Uniform(), b = rng_.Uniform();
      if (a + b > 1.0) a = 1.0 - a, b = 1.0 - b;
      const Vector3 p = moved.vertices[t[0]] + a * (moved.vertices[t[1]] - moved.vertices[t[0]]) +
                        b * (moved.vertices[t[2]] - moved.vertices[t[0]]);
      scan.vertices.push_back(p + noise * size * testing::RandomUnit(rng_) * Gaussian(rng_));
    }
    return scan;
  }
  // The moved copy with the base vertices beyond a plane cut away (about `cut` of them).
  Mesh Cut(double cut) {
    std::vector<double> x;
    for (const Vector3& p : base_.vertices) x.push_back(p.x());
    std::vector<double> sorted = x;
    std::sort(sorted.begin(), sorted.end());
    const double plane =
        sorted[static_cast<std::size_t>((1.0 - cut) * static_cast<double>(sorted.size()))];
    std::vector<char> keep;
    for (double v : x) keep.push_back(v < plane);
    Mesh m = testing::KeepVertices(base_, keep);
    m.vertices = testing::MovedRounded(m.vertices, truth_);
    return testing::Shuffle(m, rng_);
  }
  matrix::FitReport Measure(const Mesh& moved, const FitOptions& o) {
    return matrix::MeasureFit(base_, moved, o);
  }
  double Error(const matrix::FitReport& r, const Mesh& moved) const {
    return testing::MotionError(base_.vertices, truth_, r.matrix,
                                testing::Diagonal(moved.vertices));
  }
  Mesh base_;
  SplitMix rng_;
  Matrix4 truth_;
};

TEST_F(AutomaticChoices, ScanFitsUnderTheToleranceItsRoughnessSets) {
  const Mesh scan = Scan(2e-4);
  FitOptions o;
  o.kind = FitKind::icp;
  o.tolerance = 1e-3;
  const matrix::FitReport fixed = Measure(scan, o);
  ASSERT_FALSE(fixed.result.fits);
  EXPECT_EQ(fixed.result.remedy, Remedy::tolerance_auto);
  EXPECT_STREQ(matrix::CauseName(fixed), "rougher than the tolerance");
  const std::string said = platform::ToUtf8(matrix::VerdictMessage(fixed, matrix::kLibraryHints));
  EXPECT_NE(said.find("roughness"), std::string::npos) << said;
  EXPECT_NE(said.find("Try the automatic tolerance."), std::string::npos) << said;

  o.autoTolerance = true;
  const matrix::FitReport automatic = Measure(scan, o);
  EXPECT_TRUE(automatic.result.fits) << automatic.result.judgedP95Relative;
  EXPECT_TRUE(automatic.result.toleranceAuto);
  EXPECT_EQ(automatic.tolerance, automatic.result.roughTolerance);
  EXPECT_GT(automatic.tolerance, 1e-3);
  EXPECT_LT(automatic.tolerance, 2e-2);
  EXPECT_LT(Error(automatic, scan), 5e-3);
}

TEST_F(AutomaticChoices, PartialCopyFitsUnderTheTrimItsOverlapSets) {
  const Mesh cut = Cut(0.3);
  FitOptions o;
  const matrix::FitReport whole = Measure(cut, o);
  ASSERT_FALSE(whole.result.fits);
  EXPECT_EQ(whole.result.remedy, Remedy::trim_auto);
  const std::string said = platform::ToUtf8(matrix::VerdictMessage(whole, matrix::kLibraryHints));
  EXPECT_NE(said.find("Try the automatic trim."), std::string::npos) << said;

  o.autoTrim = true;
  const matrix::FitReport automatic = Measure(cut, o);
  ASSERT_TRUE(automatic.result.fits);
  EXPECT_TRUE(automatic.result.trimAuto);
  EXPECT_NEAR(automatic.result.judgedShare, 0.68, 0.03);
  EXPECT_LT(Error(automatic, cut), 1e-4);
}

// The automatic choices do not make another shape fit: the noisy copy stretched 15% along x.
TEST_F(AutomaticChoices, AnotherShapeStillMisses) {
  Mesh other = Scan(1e-3);
  for (Vector3& p : other.vertices) p.x() *= 1.15;
  FitOptions o;
  o.autoTolerance = true;
  o.autoTrim = true;
  const matrix::FitReport r = Measure(other, o);
  EXPECT_FALSE(r.result.fits) << platform::ToUtf8(matrix::VerdictMessage(r, matrix::kLibraryHints));
}

}  // namespace
}  // namespace korvane
