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

// Each verdict names what the evidence shows: a turn that fits is no mirror
// image, a mirror image that lost vertices is still one, and a copy that lost
// them fits under the trim the message offers.
TEST(BothWays, CausesMatchTheEvidence) {
  SplitMix rng(11);
  const Mesh solid = testing::GeneratedMesh(1500, 5);
  const Mesh tetrahedron = testing::SymmetricSolids().front().mesh;
  Mesh swapped = tetrahedron;  // an odd order: a reflection carries the pairs
  std::swap(swapped.vertices[0], swapped.vertices[1]);
  for (auto& t : swapped.triangles)
    for (auto& i : t) i = i == 0 ? 1 : i == 1 ? 0 : i;
  Mesh mirrored = solid;
  for (Vector3& v : mirrored.vertices) v.x() = -v.x();
  const struct {
    const char* name;
    const Mesh& base;
    Mesh copy;
    bool fits;
    Shortfall shortfall;
    bool trimFits;
  } cases[] = {
      {"tetrahedron, another order", tetrahedron, swapped, true, Shortfall::none, false},
      {"mirror image, 8% removed", solid, testing::RemoveVertices(mirrored, 0.08, rng), false,
       Shortfall::mirror_image, false},
      {"8% removed", solid, testing::RemoveVertices(solid, 0.08, rng), false, Shortfall::residual,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(c.base.vertices));
    Mesh moved = c.copy;
    moved.vertices = testing::MovedRounded(moved.vertices, truth);
    const FitTarget target(moved.vertices, moved.triangles);
    FitOptions o;
    const FitResult r = FitMotion(c.base.vertices, c.base.triangles, target, o);
    EXPECT_EQ(r.fits, c.fits);
    EXPECT_EQ(r.shortfall, c.shortfall);
    EXPECT_EQ(r.trimWouldFit > 0.0, c.trimFits) << r.trimWouldFit;
    if (!c.trimFits) continue;
    o.trim = r.trimWouldFit;
    const FitResult trimmed = FitMotion(c.base.vertices, c.base.triangles, target, o);
    EXPECT_TRUE(trimmed.fits);
    EXPECT_LT(testing::MotionError(c.base.vertices, truth, trimmed.matrix, target.size()), 1e-4);
  }
}

// Symmetric shapes shuffled: the three-point motion may land within the
// tolerance with a wrong turn, and its pairs do not confirm it. The default
// goes on to ICP, which offers the turns that fit alike, the truth among them.
TEST(BothWays, TheDefaultTrustsNoAccidentalCorrespondence) {
  SplitMix rng(17);
  for (const testing::NamedMesh& shape : testing::SymmetricSolids()) {
    if (shape.name != "cube" && shape.name != "octahedron" && shape.name != "16-sided prism")
      continue;
    SCOPED_TRACE(shape.name);
    const Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(shape.mesh.vertices));
    const Mesh moved = testing::CopyOfKind(shape.mesh, "shuffled", truth, rng);
    const FitTarget target(moved.vertices, moved.triangles);
    const FitResult r = FitMotion(shape.mesh.vertices, shape.mesh.triangles, target);
    EXPECT_EQ(r.kind, FitKind::icp);
    EXPECT_TRUE(r.fits);
    EXPECT_TRUE(r.ambiguous);
    double nearest = testing::MotionError(shape.mesh.vertices, truth, r.matrix, target.size());
    for (const Alternative& a : r.alternatives)
      nearest = std::min(nearest,
                         testing::MotionError(shape.mesh.vertices, truth, a.matrix, target.size()));
    EXPECT_LT(nearest, 1e-4);
  }
}

// A few vertices against a copy re-triangulated across its faces: the
// corners alone land closest shrunk onto a face, which the copy's far
// points refuse. The fit offers every turn of the solid that fits, the true
// one (and its scale) among them.
TEST(BothWays, ACoarseSolidAgainstItsCentreSplitCopyOffersTheTrueTurn) {
  SplitMix rng(23);
  for (const testing::NamedMesh& shape : testing::SymmetricSolids()) {
    if (shape.name != "box" && shape.name != "cube" && shape.name != "tetrahedron") continue;
    SCOPED_TRACE(shape.name);
    Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(shape.mesh.vertices));
    truth.linear() *= 1.15 / ScaleOf(truth);
    Mesh moved = testing::SplitAtCentres(shape.mesh);
    moved.vertices = testing::MovedRounded(moved.vertices, truth);
    const FitTarget target(moved.vertices, moved.triangles);
    const FitResult r = FitMotion(shape.mesh.vertices, shape.mesh.triangles, target);
    ASSERT_TRUE(r.fits) << r.judgedReverseP95Relative;
    EXPECT_TRUE(r.ambiguous);
    double nearest = testing::MotionError(shape.mesh.vertices, truth, r.matrix, target.size());
    for (const Alternative& a : r.alternatives) {
      EXPECT_NEAR(ScaleOf(a.matrix), 1.15, 1e-6);
      nearest = std::min(nearest,
                         testing::MotionError(shape.mesh.vertices, truth, a.matrix, target.size()));
    }
    EXPECT_LT(nearest, 1e-4);
  }
}

}  // namespace
}  // namespace korvane::geometry
