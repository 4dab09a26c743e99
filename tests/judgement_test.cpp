// The verdict judged both ways: a motion that lands every base vertex on the
// copy does not fit while the copy reaches beyond the moved base.
#include <gtest/gtest.h>

#include "fit_meshes.h"
#include "geometry/fit.h"

namespace korvane::geometry {
namespace {

using testing::Mesh;
using testing::SplitMix;

// A flat grid of n x n squares, 1 by 0.6: shrunk about its centre, every
// vertex still lies on the plate.
Mesh FlatGrid(std::uint32_t n) {
  Mesh m;
  for (std::uint32_t j = 0; j <= n; ++j)
    for (std::uint32_t i = 0; i <= n; ++i)
      m.vertices.push_back({double(i) / double(n), 0.6 * double(j) / double(n), 0.0});
  for (std::uint32_t j = 0; j < n; ++j)
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
      m.triangles.push_back({a, b, d});
      m.triangles.push_back({a, d, c});
    }
  return m;
}

TEST(BothWays, TheCopyMustLieOnTheMovedBase) {
  const Mesh base = FlatGrid(10);
  SplitMix rng(3);
  const Matrix4 truth = testing::RandomSimilarity(rng, 1.0);
  Matrix4 shrunk = truth;  // by 0.8 about the plate's centre
  shrunk.linear() *= 0.8;
  shrunk.translation() += 0.2 * truth.linear() * Vector3(0.5, 0.3, 0.0);
  Mesh moved = base;
  for (Vector3& v : moved.vertices) v = TransformPoint(truth, v);
  const Mesh split = testing::SplitAtCentres(moved);
  // A scan: points on the moved plate, no faces.
  const Mesh scan{testing::SampleSurface(moved, 20000, rng), {}};
  // The copy with a small plate beside it (as many vertices): the base covers half of them.
  Mesh wider = split;
  for (const Vector3& v : split.vertices)
    wider.vertices.push_back(TransformPoint(truth, Vector3(1.05, 0.0, 0.0)) +
                             0.3 * (v - TransformPoint(truth, Vector3::Zero())));
  const struct {
    const char* name;
    const Mesh& copy;
    const Matrix4& m;
    double tolerance;
    std::optional<double> trim;
    Shortfall expected;
  } cases[] = {
      {"split, truth", split, truth, 1e-5, {}, Shortfall::none},
      {"split, shrunk", split, shrunk, 1e-5, {}, Shortfall::coverage},
      {"scan, truth", scan, truth, 1e-2, {}, Shortfall::none},
      {"scan, shrunk", scan, shrunk, 1e-2, {}, Shortfall::coverage},
      {"beside another, truth", wider, truth, 1e-5, {}, Shortfall::coverage},
      {"beside another, truth, trimmed", wider, truth, 1e-5, 0.5, Shortfall::none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FitTarget target(c.copy.vertices, c.copy.triangles);
    FitOptions o;
    o.tolerance = c.tolerance;
    o.trim = c.trim;
    const FitResult r = EvaluateMotion(base.vertices, base.triangles, target, c.m, o);
    EXPECT_LE(r.judgedP95Relative, c.tolerance);  // the base lands every time
    EXPECT_EQ(r.shortfall, c.expected) << r.judgedReverseP95Relative;
    EXPECT_EQ(r.fits, c.expected == Shortfall::none);
    EXPECT_GT(r.residuals.reverse.count, 0u);
    EXPECT_TRUE(r.residuals.reverseToSurface);
  }
}

}  // namespace
}  // namespace korvane::geometry
