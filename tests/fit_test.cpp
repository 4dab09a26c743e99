#include "geometry/fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "fit_meshes.h"
#include "geometry/loose_affine.h"
#include "geometry/spatial.h"
#include "obj/obj_face.h"
#include "obj/obj_mesh.h"
#include "platform/platform.h"
#include "split_mix.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/lines.h"

namespace korvane {
namespace {

using namespace korvane::geometry;
using testing::Mesh;
using testing::SplitMix;

TEST(ObjFace, Corners) {
  struct Case {
    const char* line;
    std::uint64_t vertices;
    bool ok;
    std::vector<std::uint32_t> polygon;
  };
  const std::vector<Case> cases = {
      {"1 2 3", 3, true, {0, 1, 2}},
      {"1/1 2/2 3/3 4/4", 4, true, {0, 1, 2, 3}},
      {"1//7 2//8 3//9", 3, true, {0, 1, 2}},
      {"4/1/1 5/2/2 6/3/3", 6, true, {3, 4, 5}},
      {"1/ 2/ 3/", 3, true, {0, 1, 2}},
      {"-1 -2 -3", 5, true, {4, 3, 2}},
      {"-3/-3/-3 2 -1", 3, true, {0, 1, 2}},
      {"1 2", 3, false, {}},
      {"1 2 4", 3, false, {}},   // not read yet
      {"1 2 -4", 3, false, {}},  // before the first vertex
      {"0 1 2", 3, false, {}},
      {"1 2 x", 3, false, {}},
      {"1 2 3/a", 3, false, {}},
      {"1 2 1/2/3/4", 3, false, {}},
      {"1 2 /3", 3, false, {}},
      {"1 2 +3", 3, false, {}},
      {"1 2 99999999999999999999999", 3, false, {}},
      {"1 2 4294967297", 4294967297ull, false, {}},  // beyond 32-bit indices
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string_view> tokens;
    text::ForEachToken(c.line, [&](std::string_view t) { tokens.push_back(t); });
    std::vector<std::uint32_t> polygon;
    EXPECT_EQ(obj::ParseFace(tokens.data(), tokens.size(), c.vertices, polygon), c.ok);
    if (c.ok) {
      EXPECT_EQ(polygon, c.polygon);
    }
  }
  std::vector<Triangle> tris;
  obj::FanTriangulate({0, 1, 2, 3, 3},
                      tris);  // the fan triangle with a repeated corner is left out
  EXPECT_EQ(tris, (std::vector<Triangle>{{0, 1, 2}, {0, 2, 3}}));
}

// A sample of the faces holds every k-th (k a power of two), at least `most`
// and fewer than twice that, whatever the count.
TEST(ObjFace, SampleKeepsEveryKthFace) {
  for (const std::size_t faces : {5u, 199u, 200u, 1000u, 4097u}) {
    SCOPED_TRACE(faces);
    std::vector<Triangle> kept;
    obj::FaceCollector collector(kept, 100);
    for (std::size_t k = 0; k < faces + 2; ++k) collector.Line("v 0 0 0");
    for (std::size_t k = 0; k < faces; ++k) {
      collector.Line("f " + std::to_string(k + 1) + " " + std::to_string(k + 2) + " " +
                     std::to_string(k + 3));
    }
    const std::size_t stride = kept.size() > 1 ? kept[1][0] - kept[0][0] : 1;
    EXPECT_EQ(kept.size(), (faces + stride - 1) / stride);
    EXPECT_GE(kept.size(), std::min<std::size_t>(faces, 100));
    EXPECT_LT(kept.size(), 200u);
    for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i][0], i * stride);
  }
}

TEST(Spatial, ClosestPointOnTriangleIsOnItAndNearest) {
  SplitMix rng(11);
  for (int trial = 0; trial < 2000; ++trial) {
    Vector3 a(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    Vector3 b(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    Vector3 c(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    const Vector3 tiny = 1e-7 * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    if (trial % 10 == 1) c = a + 0.3 * (b - a);         // flat
    if (trial % 10 == 2) b = a;                         // two corners in one
    if (trial % 10 == 3) c = a + 1.7 * (b - a) + tiny;  // sliver
    if (trial % 10 == 4) b = a + tiny;                  // needle
    const Vector3 p = 2.0 * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    const Vector3 q = ClosestPointOnTriangle(p, a, b, c);
    ASSERT_TRUE(q.allFinite());
    // On the triangle: inside its plane's region, as barycentric weights.
    Eigen::Matrix<double, 3, 2> e;
    e << b - a, c - a;
    const Eigen::Vector2d w = e.colPivHouseholderQr().solve(q - a);
    EXPECT_LT((a + e * w - q).norm(), 1e-12);
    if ((b - a).cross(c - a).norm() > 1e-6) {
      EXPECT_GE(w.minCoeff(), -1e-12);
      EXPECT_LE(w.sum(), 1.0 + 1e-12);
    }
    // No point of a fine barycentric grid is nearer.
    const double d = (p - q).norm();
    for (int i = 0; i <= 40; ++i) {
      for (int j = 0; i + j <= 40; ++j) {
        const Vector3 g = a + (i / 40.0) * (b - a) + (j / 40.0) * (c - a);
        ASSERT_GE((p - g).norm(), d - 1e-12) << trial;
      }
    }
  }
}

// At the scales meshes come in (millimetres in metres, kilometres), so that a
// formula that takes a normal or an edge for unit length shows.
TEST(Spatial, IndicesAgreeWithBruteForceAndIgnoreThreadCount) {
  for (const double scale : {1e-4, 1.0, 1e4}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    Mesh mesh = testing::GeneratedMesh(600, 3);
    for (Vector3& v : mesh.vertices) v *= scale;
    // A degenerate triangle and a repeated one must not confuse the hierarchy.
    mesh.triangles.push_back({0, 1, 0});
    mesh.triangles.push_back(mesh.triangles[5]);
    const SurfaceIndex surface(mesh.vertices, mesh.triangles);
    const PointIndex points(mesh.vertices);
    SplitMix rng(5);
    std::vector<Vector3> queries(20000);
    for (Vector3& q : queries)
      q = 2.5 * scale * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    for (std::size_t i = 0; i < 300; ++i) {
      const Vector3& q = queries[i];
      double best = std::numeric_limits<double>::infinity(), best_vertex = best;
      std::uint32_t best_triangle = 0;
      for (std::uint32_t t = 0; t < mesh.triangles.size(); ++t) {
        const auto& tri = mesh.triangles[t];
        const double d = (q - ClosestPointOnTriangle(q, mesh.vertices[tri[0]],
                                                     mesh.vertices[tri[1]], mesh.vertices[tri[2]]))
                             .squaredNorm();
        if (d < best) best = d, best_triangle = t;
      }
      for (const Vector3& v : mesh.vertices)
        best_vertex = std::min(best_vertex, (q - v).squaredNorm());
      const SurfaceIndex::Hit hit = surface.Closest(q);
      EXPECT_EQ(hit.distanceSquared, best);
      EXPECT_EQ(hit.triangle, best_triangle);
      EXPECT_EQ(points.Nearest(q).distanceSquared, best_vertex);
    }
    std::vector<Vector3> one, four;
    std::vector<double> d_one, d_four;
    surface.ClosestBatch(queries, one, &d_one, 1);
    surface.ClosestBatch(queries, four, &d_four, 4);
    EXPECT_EQ(0, std::memcmp(one.data(), four.data(), one.size() * sizeof(Vector3)));
    EXPECT_EQ(d_one, d_four);
  }
}

// Queries a hair off a gently curved grid far from the origin: neighbouring
// triangles are about equally far, and rounding (relative 1e-6 and more at
// these distances) decides which wins. Every answer must be the nearest
// computed distance of all triangles, lowest index on ties, in whatever
// order the index visits them.
TEST(Spatial, NearestOfAllTrianglesWhereRoundingDecides) {
  struct Case {
    double off;   // distance of the queries from the surface
    double away;  // translation of the whole grid
    std::uint64_t seed;
  };
  for (const Case& c :
       {Case{1e-7, 1e3, 1}, Case{1e-9, 1e4, 2}, Case{0.0, 50.0, 3}, Case{1e-4, 0.0, 4}}) {
    SCOPED_TRACE(c.away);
    SplitMix rng(c.seed);
    const Eigen::Matrix3d turn =
        Eigen::AngleAxisd(6.0 * rng.Uniform(),
                          Vector3(rng.Symmetric(), rng.Symmetric(), 1.0).normalized())
            .toRotationMatrix();
    const Vector3 shift = c.away * Vector3(1.0, -0.7, 0.3);
    const auto lift = [&](double x, double y) {
      return Vector3(turn * Vector3(x, y, 0.02 * std::sin(3.0 * x) * std::cos(2.0 * y)) + shift);
    };
    constexpr std::uint32_t kSide = 30;
    Mesh mesh;
    for (std::uint32_t i = 0; i <= kSide; ++i) {
      for (std::uint32_t j = 0; j <= kSide; ++j) mesh.vertices.push_back(lift(i / 30.0, j / 30.0));
    }
    for (std::uint32_t i = 0; i < kSide; ++i) {
      for (std::uint32_t j = 0; j < kSide; ++j) {
        const std::uint32_t a = i * (kSide + 1) + j, b = a + 1, d = a + kSide + 1, e = d + 1;
        mesh.triangles.push_back({a, b, e});
        mesh.triangles.push_back({a, e, d});
      }
    }
    const SurfaceIndex surface(mesh.vertices, mesh.triangles);
    // Half the queries on edges and corners of the grid, where neighbours tie.
    std::vector<Vector3> queries(1500);
    for (std::size_t k = 0; k < queries.size(); ++k) {
      double x = rng.Uniform(), y = rng.Uniform();
      if (k % 2 == 0) x = std::round(x * kSide) / kSide;
      if (k % 4 == 0) y = std::round(y * kSide) / kSide;
      const Vector3 normal = turn.col(2);
      queries[k] = lift(x, y) + (k % 3 == 0 ? -c.off : c.off) * normal;
    }
    std::vector<double> expected(queries.size());
    std::vector<std::uint32_t> expected_triangles(queries.size());
    for (std::size_t k = 0; k < queries.size(); ++k) {
      const Vector3& q = queries[k];
      double best = std::numeric_limits<double>::infinity();
      std::uint32_t best_triangle = 0;
      for (std::uint32_t t = 0; t < mesh.triangles.size(); ++t) {
        const Triangle& tri = mesh.triangles[t];
        const double d = (q - ClosestPointOnTriangle(q, mesh.vertices[tri[0]],
                                                     mesh.vertices[tri[1]], mesh.vertices[tri[2]]))
                             .squaredNorm();
        if (d < best) best = d, best_triangle = t;
      }
      expected[k] = std::sqrt(best);
      expected_triangles[k] = best_triangle;
      const SurfaceIndex::Hit hit = surface.Closest(q);
      ASSERT_EQ(hit.distanceSquared, best) << k;
      ASSERT_EQ(hit.triangle, best_triangle) << k;
    }
    // Batches start each query from the previous answer: another order.
    for (const unsigned threads : {1u, 3u}) {
      std::vector<double> out;
      surface.DistancesFrom(Matrix4::Identity(), queries, out, threads);
      EXPECT_EQ(out, expected);
    }
    // Nor do hints: far, stale or out of range ones.
    std::vector<std::uint32_t> hints(queries.size()), found;
    for (std::size_t k = 0; k < hints.size(); ++k)
      hints[k] = k % 5 == 0 ? 0xffffffffu
                            : static_cast<std::uint32_t>(rng.Uniform() * 2.0 * kSide * kSide);
    std::vector<Vector3> points;
    std::vector<double> out;
    surface.ClosestBatch(queries, points, &out, 2, &found, &hints);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(found, expected_triangles);
  }
}

// Big enough for the top nodes to be binned on several threads and for many
// subtrees: the hierarchy must not depend on the number of threads.
TEST(Spatial, SameHierarchyOnAnyNumberOfThreads) {
  const Mesh mesh = testing::GeneratedMesh(90000, 4);
  ASSERT_GT(mesh.triangles.size(), 150000u);
  const SurfaceIndex one(mesh.vertices, mesh.triangles, 1);
  EXPECT_LT(one.nodeCount(), mesh.triangles.size() / 2);
  for (const unsigned threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    const SurfaceIndex many(mesh.vertices, mesh.triangles, threads);
    EXPECT_TRUE(one.SameTree(many));
  }
  // A tree of other triangles differs (the comparison can fail).
  std::vector<Triangle> fewer(mesh.triangles.begin(), mesh.triangles.end() - 1);
  EXPECT_FALSE(one.SameTree(SurfaceIndex(mesh.vertices, fewer, 2)));
}

TEST(Spatial, RefusesTrianglesOutsideTheVertexList) {
  const std::vector<Vector3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<Triangle> bad = {{0, 1, 3}};
  EXPECT_THROW(SurfaceIndex(v, bad), Error);
}

TEST(Fit, ResidualStats) {
  std::vector<double> twenty;
  double squares = 0.0;
  for (int i = 20; i >= 1; --i) {
    twenty.push_back(i);
    squares += i * i;
  }
  const ResidualStats s = ComputeResidualStats(twenty, 10.0);
  EXPECT_EQ(s.count, 20u);
  EXPECT_DOUBLE_EQ(s.rms, std::sqrt(squares / 20.0));
  EXPECT_EQ(s.median, 10.5);
  EXPECT_EQ(s.p95, 19.0);
  EXPECT_EQ(s.max, 20.0);
  EXPECT_EQ(s.p95Relative, 1.9);
  const ResidualStats odd = ComputeResidualStats({5.0, 1.0, 3.0}, 1.0);
  EXPECT_EQ(odd.median, 3.0);
  EXPECT_EQ(odd.p95, 5.0);
  EXPECT_EQ(ComputeResidualStats({}, 1.0).count, 0u);
}

class FitOnCopies : public ::testing::Test {
 protected:
  FitOnCopies() : base_(testing::GeneratedMesh(1500, 7)), rng_(99) {
    truth_ = testing::RandomSimilarity(rng_, testing::Diagonal(base_.vertices));
  }
  Mesh Moved(Mesh m) const {
    m.vertices = testing::MovedRounded(m.vertices, truth_);
    return m;
  }
  double Error(const Matrix4& found, const Mesh& moved) const {
    return testing::MotionError(base_.vertices, truth_, found, testing::Diagonal(moved.vertices));
  }
  Mesh base_;
  SplitMix rng_;
  Matrix4 truth_;
};

// Measured around the paired vertex, a distance is never below the one to
// the whole surface, and for a rounded copy with a few vertices pushed off
// it the verdict, outliers and overlap are those of the whole surface.
TEST_F(FitOnCopies, PairedDistancesBoundTheSurfaceOnes) {
  Mesh moved = Moved(base_);
  for (std::size_t i = 0; i < moved.vertices.size(); i += 97) moved.vertices[i].x() += 0.05;
  const FitTarget target(moved.vertices, moved.triangles);
  std::vector<double> paired, whole;
  target.PairedDistancesFrom(truth_, base_.vertices, paired, 2);
  target.DistancesFrom(truth_, base_.vertices, whole, 2);
  for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_GE(paired[i], whole[i]) << i;
  FitOptions o;
  const FitResult fast = EvaluateMotion(base_.vertices, target, truth_, o);
  const Residuals slow = MeasureResiduals(base_.vertices, target, truth_, 2);
  EXPECT_TRUE(fast.fits);
  EXPECT_EQ(fast.outliers, 16u);
  EXPECT_EQ(fast.residuals.surface.max, slow.surface.max);
  EXPECT_LE(fast.residuals.surface.p95, 1e-5 * target.size());
}

TEST_F(FitOnCopies, ExactCopyLeavesNoResidual) {
  Mesh moved = base_;
  for (Vector3& p : moved.vertices) p = TransformPoint(truth_, p);
  const FitTarget target(moved.vertices, moved.triangles);
  FitOptions o;
  o.kind = FitKind::three_point;
  const FitResult r = FitMotion(base_.vertices, target, o);
  EXPECT_TRUE(r.fits);
  EXPECT_EQ(r.likelyCause, LikelyCause::none);
  EXPECT_TRUE(r.residuals.toSurface);
  EXPECT_LT(r.residuals.surface.maxRelative, 1e-12);
  EXPECT_LT(r.residuals.paired.maxRelative, 1e-12);
}

TEST_F(FitOnCopies, LeastSquaresBeatsThreePointsUnderNoise) {
  Mesh moved = Moved(base_);
  testing::AddNoise(moved.vertices, 1e-4 * testing::Diagonal(moved.vertices), rng_);
  const FitTarget target(moved.vertices, moved.triangles);
  FitOptions o;
  o.kind = FitKind::three_point;
  const double three = Error(FitMotion(base_.vertices, target, o).matrix, moved);
  o.kind = FitKind::least_squares;
  const double least = Error(FitMotion(base_.vertices, target, o).matrix, moved);
  EXPECT_LT(least * 10.0, three) << least << " vs " << three;
}

// Least squares sums over the pairs instead of copying them: the same
// solution as Eigen's, for a copy and for a mirror image (whose best proper
// turn needs the sign flip).
TEST_F(FitOnCopies, LeastSquaresIsEigensUmeyama) {
  for (const double mirror : {1.0, -1.0}) {
    Mesh moved = Moved(base_);
    testing::AddNoise(moved.vertices, 1e-3 * testing::Diagonal(moved.vertices), rng_);
    for (Vector3& v : moved.vertices) v.z() *= mirror;
    Eigen::Matrix3Xd a(3, static_cast<Eigen::Index>(base_.vertices.size())), b(a.rows(), a.cols());
    for (Eigen::Index i = 0; i < a.cols(); ++i) {
      a.col(i) = base_.vertices[static_cast<std::size_t>(i)];
      b.col(i) = moved.vertices[static_cast<std::size_t>(i)];
    }
    const Eigen::Matrix4d eigen = Eigen::umeyama(a, b, true);
    const Matrix4 ours = LeastSquaresMotion(base_.vertices, moved.vertices);
    EXPECT_LT((ours.matrix() - eigen).cwiseAbs().maxCoeff(), 1e-9 * eigen.cwiseAbs().maxCoeff());
  }
}

// A copy with a few vertices edited, its reference vertices among them: the
// automatic fit finds it by least squares without the worst pairs, with no
// search from starts.
TEST_F(FitOnCopies, AutomaticFitLeavesEditedVerticesOut) {
  Mesh edited = Moved(base_);
  const ReferenceIndices ref = ThreePointFit(base_.vertices, edited.vertices).moved;
  std::vector<std::size_t> pushed = {std::size_t(ref.a), std::size_t(ref.b), std::size_t(ref.c)};
  for (std::size_t i = 0; i < edited.vertices.size(); i += 25) pushed.push_back(i);
  const double size = testing::Diagonal(edited.vertices);
  for (const std::size_t i : pushed) edited.vertices[i] += 0.25 * size * Vector3(0.0, 0.6, 0.8);
  const FitTarget target(edited.vertices, edited.triangles);
  const FitResult r = FitMotion(base_.vertices, target, FitOptions{});
  EXPECT_TRUE(r.fits);
  EXPECT_EQ(r.kind, FitKind::least_squares) << FitName(r.kind);
  EXPECT_EQ(r.tried, std::vector<FitKind>{FitKind::three_point});
  EXPECT_LT(Error(r.matrix, edited), 1e-6);
}

TEST_F(FitOnCopies, IcpRecoversRe_exportedCopies) {
  struct Case {
    const char* name;
    Mesh moved;
    LikelyCause cause;
  };
  const std::vector<Case> cases = {
      {"shuffled", Moved(testing::Shuffle(base_, rng_)), LikelyCause::vertex_order_differs},
      {"2% removed", Moved(testing::RemoveVertices(base_, 0.02, rng_)),
       LikelyCause::vertices_added_or_removed},
      {"split in four", Moved(testing::Subdivide(base_)), LikelyCause::vertices_added_or_removed},
      {"shuffled, no faces", Moved(Mesh{testing::Shuffle(base_, rng_).vertices, {}}),
       LikelyCause::vertex_order_differs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FitTarget target(c.moved.vertices, c.moved.triangles);
    FitOptions o;
    o.kind = FitKind::icp;
    o.threads = 1;
    const FitResult r = FitMotion(base_.vertices, target, o);
    EXPECT_LT(Error(r.matrix, c.moved), 1e-4);
    EXPECT_TRUE(r.fits) << static_cast<int>(r.shortfall) << " " << r.judgedP95Relative;
    EXPECT_EQ(r.likelyCause, c.cause);
    EXPECT_GT(r.iterations, 0);
    o.threads = 3;
    const FitResult again = FitMotion(base_.vertices, target, o);
    EXPECT_TRUE(again.matrix.matrix() == r.matrix.matrix()) << "depends on the thread count";
  }
}

// Each model by kind of copy, in its own order and shuffled: the known motion
// where the model holds it, a scale of exactly 1 when rigid, and the size named
// when a rigid fit misses a scaled copy.
TEST_F(FitOnCopies, MotionModelsByKindOfCopy) {
  Matrix4 turn = Matrix4::Identity();
  turn.linear() = truth_.linear() / ScaleOf(truth_);
  turn.translation() = truth_.translation();
  Matrix4 flip = Matrix4::Identity();
  flip(1, 1) = -1.0;
  const Matrix4 scaled = turn * Eigen::Scaling(1.3);
  const Matrix4 mirrored = turn * flip;
  // Stretched 1.25 and 0.8 along axes turned away from the coordinate axes.
  const Eigen::Matrix3d axes =
      Eigen::AngleAxisd(0.7, Vector3(1.0, 2.0, 3.0).normalized()).toRotationMatrix();
  Matrix4 stretch = Matrix4::Identity();
  stretch.linear() = axes * Vector3(1.25, 1.0, 0.8).asDiagonal() * axes.transpose();
  const Matrix4 stretched = turn * stretch;
  const Stretch seen = StretchOf(stretched);  // what the verdict must name
  struct Case {
    const char* name;
    Matrix4 motion;
    MotionModel model;
    bool allowMirror;
    bool fits;
    Shortfall shortfall;
    bool inOrderOnly = false;  // shuffled, it may miss, but never fit wrongly
  };
  const std::vector<Case> cases = {
      {"rigid copy, rigid", turn, MotionModel::rigid, false, true, Shortfall::none},
      {"scaled copy, rigid", scaled, MotionModel::rigid, false, false, Shortfall::size},
      {"scaled copy, similarity", scaled, MotionModel::similarity, false, true, Shortfall::none},
      {"mirrored, rigid", mirrored, MotionModel::rigid, false, false, Shortfall::mirror_image},
      {"mirrored, rigid, mirror allowed", mirrored, MotionModel::rigid, true, true,
       Shortfall::none},
      {"mirrored and scaled, similarity, mirror allowed", mirrored * Eigen::Scaling(0.8),
       MotionModel::similarity, true, true, Shortfall::none},
      {"rigid copy, mirror allowed", turn, MotionModel::similarity, true, true, Shortfall::none},
      {"rigid copy, affine", turn, MotionModel::affine, false, true, Shortfall::none},
      {"scaled copy, affine", scaled, MotionModel::affine, false, true, Shortfall::none},
      {"stretched, affine", stretched, MotionModel::affine, false, true, Shortfall::none},
      {"stretched, similarity", stretched, MotionModel::similarity, false, false,
       Shortfall::stretched},
      {"stretched, rigid", stretched, MotionModel::rigid, false, false, Shortfall::stretched},
      // In order only: shuffled, the generated surface is too nearly its own
      // mirror image for the similarity's poses to lead the affine steps home.
      {"stretched mirror image, affine", stretched * flip, MotionModel::affine, false, false,
       Shortfall::mirror_image, true},
      {"stretched mirror image, affine, mirror allowed", stretched * flip, MotionModel::affine,
       true, true, Shortfall::none, true},
  };
  for (const Case& c : cases) {
    for (const bool shuffle : {false, true}) {
      for (const bool faces : {true, false}) {
        SCOPED_TRACE(std::string(c.name) + (shuffle ? ", shuffled" : "") +
                     (faces ? "" : ", no faces"));
        Mesh moved = shuffle ? testing::Shuffle(base_, rng_) : base_;
        moved.vertices = testing::MovedRounded(moved.vertices, c.motion);
        if (!faces) moved.triangles.clear();
        const FitTarget target(moved.vertices, moved.triangles);
        FitOptions o;
        o.motion = c.model;
        o.allowMirror = c.allowMirror;
        const FitResult r =
            FitMotion(base_.vertices, faces ? base_.triangles : std::vector<Triangle>{}, target, o);
        if (shuffle && c.inOrderOnly) {
          if (r.fits) {
            EXPECT_LT(testing::MotionError(base_.vertices, c.motion, r.matrix,
                                           testing::Diagonal(moved.vertices)),
                      1e-4);
          }
          continue;
        }
        EXPECT_EQ(r.fits, c.fits) << r.judgedP95Relative;
        EXPECT_EQ(r.shortfall, c.shortfall);
        if (c.model == MotionModel::rigid) {
          EXPECT_NEAR(std::fabs(r.matrix.linear().determinant()), 1.0, 1e-12);
        }
        if (c.shortfall == Shortfall::size) {
          EXPECT_NEAR(r.fittingScale, 1.3, 1e-6);
        }
        if (c.shortfall == Shortfall::stretched) {
          for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(r.stretch.factors[k], seen.factors[k], 1e-3);
            EXPECT_GT(std::fabs(r.stretch.axes.col(k).dot(seen.axes.col(k))), 1.0 - 1e-3);
          }
        }
        if (!c.fits) continue;
        EXPECT_EQ(r.mirror, c.motion.linear().determinant() < 0.0);
        EXPECT_LT(testing::MotionError(base_.vertices, c.motion, r.matrix,
                                       testing::Diagonal(moved.vertices)),
                  shuffle ? 1e-4 : 1e-6);
      }
    }
  }
  // Three points cannot give twelve numbers; a three-point similarity that
  // misses a stretched copy names the stretch all the same.
  Mesh moved = base_;
  moved.vertices = testing::MovedRounded(moved.vertices, stretched);
  const FitTarget target(moved.vertices, moved.triangles);
  FitOptions o;
  o.kind = FitKind::three_point;
  EXPECT_EQ(FitMotion(base_.vertices, target, o).shortfall, Shortfall::stretched);
  o.motion = MotionModel::affine;
  EXPECT_THROW(FitMotion(base_.vertices, target, o), korvane::Error);
}

// A flat plate cannot measure a stretch across itself: the affine solve keeps
// the similarity's map there (finite, proper), and the result says so.
TEST(AffineFit, FlatBaseKeepsTheSimilarityAcrossIt) {
  std::vector<Vector3> plate;
  for (int i = 0; i < 30; ++i) {
    for (int j = 0; j < 20; ++j) plate.emplace_back(0.1 * i + 0.01 * j * j, 0.1 * j, 0.0);
  }
  Matrix4 m = Matrix4::Identity();
  m.linear() = Eigen::AngleAxisd(0.4, Vector3(1.0, 1.0, 0.0).normalized()).toRotationMatrix() *
               Vector3(1.2, 0.9, 1.0).asDiagonal();
  m.translation() = Vector3(1.0, 2.0, 3.0);
  const std::vector<Vector3> moved = testing::MovedRounded(plate, m);
  const std::vector<Triangle> none;
  const FitTarget target(moved, none);
  FitOptions o;
  o.motion = MotionModel::affine;
  const FitResult r = FitMotion(plate, target, o);
  ASSERT_TRUE(r.fits) << r.judgedP95Relative;
  EXPECT_TRUE(r.flatBase);
  EXPECT_TRUE(r.matrix.matrix().allFinite());
  EXPECT_GT(r.matrix.linear().determinant(), 0.0);
  // The plate's normal goes to the moved plate's normal.
  const Vector3 normal = (m.linear().col(0).cross(m.linear().col(1))).normalized();
  EXPECT_GT(std::fabs((r.matrix.linear() * Vector3::UnitZ()).normalized().dot(normal)), 1.0 - 1e-9);
}

// A thin part, stretched and shuffled: the moments' starts find the affine
// motion, and a shear across the thickness, which slides the vertices along
// the surface, fits as well: said (loose), not a bare "fits". A thick part's
// motion is pinned down.
TEST_F(FitOnCopies, AffineOnThinCopiesIsFoundAndSaidLoose) {
  const Eigen::Matrix3d axes =
      Eigen::AngleAxisd(0.7, Vector3(1.0, 2.0, 3.0).normalized()).toRotationMatrix();
  Matrix4 stretched = Matrix4::Identity();
  stretched.linear() = truth_.linear() / ScaleOf(truth_) * axes *
                       Vector3(1.25, 1.0, 0.8).asDiagonal() * axes.transpose();
  stretched.translation() = truth_.translation();
  for (const double thickness : {1.0, 0.02}) {
    SCOPED_TRACE(thickness);
    Mesh part = base_;
    for (Vector3& v : part.vertices) {
      v.z() *= thickness;
      v.x() += 0.3 * v.y() * v.y();  // lopsided, as a wing is
    }
    Mesh moved = testing::Shuffle(part, rng_);
    moved.vertices = testing::MovedRounded(moved.vertices, stretched);
    const FitTarget target(moved.vertices, moved.triangles);
    FitOptions o;
    o.motion = MotionModel::affine;
    const FitResult r = FitMotion(part.vertices, part.triangles, target, o);
    ASSERT_TRUE(r.fits) << r.judgedP95Relative;
    const double size = testing::Diagonal(moved.vertices);
    EXPECT_LT(testing::MotionError(part.vertices, stretched, r.matrix, size), 1e-4);
    EXPECT_EQ(r.loose, thickness < 1.0);
    if (!r.loose) continue;
    EXPECT_TRUE(r.ambiguous);
    const Matrix4& other = r.alternatives.back().matrix;
    EXPECT_TRUE(EvaluateMotion(part.vertices, part.triangles, target, other, o).fits);
    EXPECT_GT(testing::MotionError(part.vertices, r.matrix, other, size),
              0.9 * kLooseTolerances * o.tolerance);
  }
}

TEST_F(FitOnCopies, VerdictOnWrongMotions) {
  // Three points on a shuffled copy pick unrelated vertices: no fit, and the
  // sorted centroid distances still show the same shape.
  const Mesh shuffled = Moved(testing::Shuffle(base_, rng_));
  const FitTarget target(shuffled.vertices, shuffled.triangles);
  FitOptions o;
  o.kind = FitKind::three_point;
  FitResult r = FitMotion(base_.vertices, target, o);
  EXPECT_FALSE(r.fits);
  EXPECT_EQ(r.likelyCause, LikelyCause::vertex_order_differs);
  // Nor is a mirror image, in whatever order: its centroid distances match,
  // its handedness does not.
  // (Bent so that it is plainly lopsided: the generated surface is nearly
  // symmetric, and so nearly its own mirror image.)
  Mesh bent = base_;
  for (Vector3& v : bent.vertices) v.x() += 0.3 * v.y() * v.y();
  Mesh mirror = bent;
  for (Vector3& v : mirror.vertices) v.z() = -v.z();
  const Mesh mirrored = Moved(testing::Shuffle(mirror, rng_));
  const FitTarget mirrored_target(mirrored.vertices, mirrored.triangles);
  for (const FitKind kind : {FitKind::three_point, FitKind::icp}) {
    o.kind = kind;
    r = FitMotion(bent.vertices, mirrored_target, o);
    EXPECT_FALSE(r.fits);
    EXPECT_EQ(r.likelyCause, LikelyCause::not_a_similar_copy);
  }
  // Its triangles have the shapes of the base's, and proposals must not take it.
  r = FitMotion(bent.vertices, bent.triangles, mirrored_target, o);
  EXPECT_EQ(r.shortfall, Shortfall::mirror_image);
  // A different surface of the same vertex count is no copy.
  const Mesh other = Moved(testing::GeneratedMesh(1500, 8));
  const FitTarget other_target(other.vertices, other.triangles);
  o.kind = FitKind::icp;
  r = FitMotion(base_.vertices, other_target, o);
  EXPECT_FALSE(r.fits);
  EXPECT_EQ(r.likelyCause, LikelyCause::not_a_similar_copy);
  // A motion off by 1% of the size is flagged.
  Matrix4 off = truth_;
  off.translation() += 0.01 * target.size() * Vector3(1, 0, 0);
  EXPECT_FALSE(EvaluateMotion(base_.vertices, target, off, o).fits);
  // Shrunk onto one vertex of the target, every residual is tiny: the
  // verdict must still refuse it.
  Matrix4 shrunk = Matrix4::Identity();
  shrunk.linear() *= 1e-9;
  shrunk.translation() = shuffled.vertices[0];
  r = EvaluateMotion(base_.vertices, target, shrunk, o);
  EXPECT_LT(r.residuals.surface.p95Relative, o.tolerance);
  EXPECT_FALSE(r.fits);
}

// The global search on shapes whose principal axes say little (a cube, a
// ball, a shaft) but which one small feature makes asymmetric: from any
// start, every kind of copy must come back to the one motion, converged.
// With the base's triangles the search matches them; without, it runs from
// starts alone.
void ExpectTheOneMotion(const std::vector<testing::NamedMesh>& shapes, bool triangles) {
  for (const testing::NamedMesh& shape : shapes) {
    const Mesh& base = shape.mesh;
    SplitMix rng(31);
    for (const char* copy : {"removed", "split", "shuffled"}) {
      SCOPED_TRACE(shape.name + ", " + copy);
      const Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(base.vertices));
      const Mesh moved = testing::CopyOfKind(base, copy, truth, rng);
      const FitTarget target(moved.vertices, moved.triangles);
      FitOptions o;
      o.kind = FitKind::icp;
      o.threads = 3;
      const FitResult r = triangles ? FitMotion(base.vertices, base.triangles, target, o)
                                    : FitMotion(base.vertices, target, o);
      // Refitted on the vertices that land, matched triangles are as exact
      // as the copy's six digits allow.
      EXPECT_LT(testing::MotionError(base.vertices, truth, r.matrix, target.size()),
                triangles ? 2e-7 : 1e-4);
      EXPECT_TRUE(r.fits);
      EXPECT_FALSE(r.ambiguous);
      EXPECT_FALSE(r.hitIterationLimit) << r.iterations;
      ASSERT_FALSE(r.candidates.empty());
      EXPECT_TRUE(r.candidates.front().matrix() == r.matrix.matrix());
      if (triangles) {
        o.threads = 1;
        const FitResult one = FitMotion(base.vertices, base.triangles, target, o);
        EXPECT_TRUE(one.matrix.matrix() == r.matrix.matrix()) << "depends on the thread count";
      }
    }
  }
}

TEST(IcpSearch, FindsTheOneMotionOfNearlySymmetricShapes) {
  std::vector<testing::NamedMesh> shapes;
  for (testing::NamedMesh& s : testing::SymmetricShapes()) {
    if (s.name == "cube, dented") shapes.push_back(std::move(s));
  }
  shapes.push_back({"generated", testing::GeneratedMesh(1500, 7), false});
  ExpectTheOneMotion(shapes, false);
  ExpectTheOneMotion(shapes, true);
}

// A keyway or a bump a few percent of the vertices: the search from starts
// alone does not always pull it into place (bench/README.md), matched
// triangles do.
TEST(IcpSearch, FindsTheOneMotionOfAKeyedHubAndABumpedBall) {
  std::vector<testing::NamedMesh> shapes;
  for (testing::NamedMesh& s : testing::SymmetricShapes()) {
    if (!s.symmetric && s.name != "cube, dented") shapes.push_back(std::move(s));
  }
  ExpectTheOneMotion(shapes, true);
  // From starts, the hub's turned poses land on the copy's vertices but for
  // the keyway. (The ball from starts: see bench/README.md.)
  shapes.pop_back();
  ExpectTheOneMotion(shapes, false);
}

// A cube carries onto itself 24 ways: with its vertices shuffled nothing
// tells them apart. The result is ambiguous whether the search matched
// triangles or ran from starts; matched, the true way is among those offered.
TEST(IcpSearch, OffersTheOtherMotionsOfASymmetricShape) {
  const Mesh cube = testing::BoxMesh(Vector3(1, 1, 1), 8);
  SplitMix rng(5);
  for (const bool triangles : {false, true}) {
    for (const char* copy : {"removed", "split", "shuffled"}) {
      if (!triangles && copy[0] != 's') continue;  // (slow from starts)
      SCOPED_TRACE(std::string(copy) + (triangles ? ", triangles" : ""));
      const Matrix4 truth = testing::RandomSimilarity(rng, 3.5);
      const Mesh moved = testing::CopyOfKind(cube, copy, truth, rng);
      const FitTarget target(moved.vertices, moved.triangles);
      FitOptions o;
      o.kind = FitKind::icp;
      const FitResult r = triangles ? FitMotion(cube.vertices, cube.triangles, target, o)
                                    : FitMotion(cube.vertices, target, o);
      EXPECT_TRUE(r.fits);
      EXPECT_TRUE(r.ambiguous);
      if (triangles) {
        double nearest = 1.0;
        for (const Matrix4& c : r.candidates)
          nearest = std::min(nearest, testing::MotionError(cube.vertices, truth, c, target.size()));
        EXPECT_LT(nearest, 1e-4);
        // Half of them also carry the squares' diagonals onto diagonals.
        EXPECT_GE(r.candidates.size(), 12u);
      }
    }
  }
}

// Shapes that carry onto themselves in several ways, copied as re-exports
// copy them: the fit says it is ambiguous and offers the true motion, whether
// the base's faces are matched or the search runs from starts alone, and
// whatever the size (0.2 mm across, in metres).
TEST(IcpSearch, SymmetricShapesAreAmbiguous) {
  std::vector<testing::NamedMesh> shapes = testing::SymmetricShapes();
  const auto shape = [&](const std::string& name) -> const Mesh& {
    for (const testing::NamedMesh& s : shapes)
      if (s.name == name) return s.mesh;
    throw std::logic_error(name);
  };
  const struct {
    const char* shape;
    const char* copy;
    bool faces;
    double size;  // of the base
  } cases[] = {
      {"torus", "split", true, 2.6},           {"torus", "removed", true, 2.6},
      {"torus", "shuffled", true, 2.6},        {"8-sided prism", "split", true, 2.6},
      {"8-sided prism", "removed", true, 2.6}, {"8-sided prism", "shuffled", false, 2.6},
      {"torus", "split", true, 2e-4},          {"torus", "removed", true, 2e-4},
      {"8-sided prism", "split", true, 2e-4},  {"8-sided prism", "removed", true, 2e-4},
      {"torus", "split", false, 2.6},          {"torus", "removed", false, 2.6},
      {"torus", "shuffled", false, 2.6},       {"torus", "split", false, 2e-4},
      {"torus", "removed", false, 2e-4},       {"torus", "shuffled", false, 2e-4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.shape) + ", " + c.copy + (c.faces ? ", faces, " : ", ") +
                 std::to_string(c.size));
    SplitMix rng(21);
    const Mesh& unit = shape(c.shape);
    const Matrix4 moved_unit = testing::RandomSimilarity(rng, 1.0);
    Mesh moved = testing::CopyOfKind(unit, c.copy, moved_unit, rng);
    // Rounded at the unit size, then scaled: six digits of the part's own size.
    const double s = c.size / testing::Diagonal(unit.vertices);
    Mesh base = unit;
    for (Vector3& v : base.vertices) v *= s;
    for (Vector3& v : moved.vertices) v *= s;
    Matrix4 truth = moved_unit;
    truth.translation() *= s;
    const FitTarget target(moved.vertices, moved.triangles);
    FitOptions o;
    o.kind = FitKind::icp;
    const FitResult r = c.faces ? FitMotion(base.vertices, base.triangles, target, o)
                                : FitMotion(base.vertices, target, o);
    double nearest = 1.0;
    for (const Matrix4& m : r.candidates)
      nearest = std::min(nearest, testing::MotionError(base.vertices, truth, m, target.size()));
    EXPECT_TRUE(r.fits);
    EXPECT_TRUE(r.ambiguous);
    EXPECT_LT(nearest, 1e-4);
  }
}

TEST(IcpSearch, SaysWhenTheIterationLimitStoppedIt) {
  const Mesh base = testing::GeneratedMesh(1500, 3);
  SplitMix rng(8);
  Mesh moved = testing::Shuffle(base, rng);
  moved.vertices = testing::MovedRounded(moved.vertices, testing::RandomSimilarity(rng, 4.0));
  const FitTarget target(moved.vertices, moved.triangles);
  FitOptions o;
  o.kind = FitKind::icp;
  for (const int limit : {0, 2, kDefaultMaxIterations}) {
    SCOPED_TRACE(limit);
    o.maxIterations = limit;
    const FitResult r = FitMotion(base.vertices, target, o);
    EXPECT_LE(r.iterations, limit);
    EXPECT_EQ(r.hitIterationLimit, limit < kDefaultMaxIterations);
    // No step at all leaves the coarse points' pose, which does not fit.
    if (limit != 2) {
      EXPECT_EQ(r.fits, limit != 0);
    }
    // Matched triangles: the limit bounds the refits on vertex pairs.
    const FitResult t = FitMotion(base.vertices, base.triangles, target, o);
    EXPECT_LE(t.iterations, limit);
    if (limit != 2) {
      EXPECT_EQ(t.hitIterationLimit, limit == 0);
    }
  }
}

// The verdict is relative to the moved mesh's size: a 1% miss on a part a
// tenth of a millimetre across is still a miss, and a copy that lands within
// a millionth of a 10 km site still fits.
TEST(Fit, VerdictsDoNotDependOnTheMeshSize) {
  for (const double scale : {1e-4, 1.0, 1e4}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    Mesh base = testing::GeneratedMesh(1500, 4);
    for (Vector3& v : base.vertices) v *= scale;
    SplitMix rng(9);
    const Matrix4 truth = testing::RandomSimilarity(rng, testing::Diagonal(base.vertices));
    Mesh moved = base;
    for (Vector3& v : moved.vertices) v = TransformPoint(truth, v);
    const FitTarget target(moved.vertices, moved.triangles);
    const struct {
      double shift;  // of the moved mesh's size
      bool fits;
    } cases[] = {{0.0, true}, {1e-6, true}, {1e-2, false}, {1e-4, false}};
    for (const auto& c : cases) {
      Matrix4 m = truth;
      m.translation() += c.shift * target.size() * Vector3(0.6, 0.0, 0.8);
      const FitResult r = EvaluateMotion(base.vertices, target, m);
      EXPECT_EQ(r.fits, c.fits) << "shifted by " << c.shift << " of the size: p95 "
                                << r.residuals.surface.p95Relative;
    }
  }
}

// A cube fits a quarter turn as well as the truth: ambiguous, unless the
// vertex pairs (equal counts, same order) tell which.
TEST(Fit, SymmetricMeshesAreAmbiguous) {
  Mesh cube;
  for (int i = 0; i < 8; ++i)
    cube.vertices.push_back({i & 1 ? 1.0 : -1.0, i & 2 ? 1.0 : -1.0, i & 4 ? 1.0 : -1.0});
  cube.triangles = {{0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5}, {0, 4, 5}, {0, 5, 1},
                    {2, 3, 7}, {2, 7, 6}, {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}};
  cube = testing::Subdivide(testing::Subdivide(cube));
  SplitMix rng(4);
  const Matrix4 truth = testing::RandomSimilarity(rng, 3.0);
  Matrix4 quarter = Matrix4::Identity();
  quarter.linear() = Eigen::AngleAxisd(kPi / 2, Vector3::UnitZ()).toRotationMatrix();
  for (const bool shuffled : {true, false}) {
    Mesh moved = shuffled ? testing::Shuffle(cube, rng) : cube;
    for (Vector3& v : moved.vertices) v = TransformPoint(truth, v);
    const FitTarget target(moved.vertices, moved.triangles);
    FitResult r = EvaluateMotion(cube.vertices, target, truth);
    ASSERT_TRUE(r.fits);
    r.candidates = {truth, truth * quarter, truth * quarter * quarter};
    JudgeAmbiguity(cube.vertices, target, FitOptions{}, r);
    EXPECT_EQ(r.ambiguous, shuffled);
    EXPECT_EQ(r.alternatives.size(), shuffled ? 2u : 0u);
  }
}

TEST(Fit, RefusesBadInput) {
  const std::vector<Vector3> good = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<Vector3> base;
    FitKind kind;
  };
  const std::vector<Case> cases = {
      {"no vertex", {}, FitKind::icp},
      {"two vertices", {{0, 0, 0}, {1, 1, 1}}, FitKind::icp},
      {"not finite", {{0, 0, 0}, {1, 0, 0}, {0, nan, 0}}, FitKind::three_point},
      {"one line", {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {-3, -3, -3}}, FitKind::icp},
      {"one point", {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, FitKind::icp},
      {"least squares, other count", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, FitKind::least_squares},
  };
  const std::vector<Triangle> none;
  const FitTarget target(good, none);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FitOptions o;
    o.kind = c.kind;
    try {
      FitMotion(c.base, target, o);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::refused);
      EXPECT_EQ(platform::ToUtf8(e.message()).rfind("cannot fit the motion: ", 0), 0u);
      // For Japanese users, every word of it is Japanese (code page 932, where
      // a second byte may be a letter, but never three letters in a row).
      const text::Message japanese = e.message().In(text::Language::japanese);
      std::string ja;
      for (const auto& piece : japanese.pieces()) ja += piece.bytes;
      EXPECT_EQ(ja.rfind(text::kCannotFit.japanese, 0), 0u);
      int letters = 0;
      for (const char ch : ja) {
        letters = (ch >= 'a' && ch <= 'z') ? letters + 1 : 0;
        EXPECT_LT(letters, 3) << ja;
      }
    }
  }
  const std::vector<Vector3> line{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}};
  EXPECT_THROW(FitTarget(line, none), Error);
  // Refused when made, though its surface index is built later, if ever.
  const std::vector<Triangle> outside{{0, 1, 7}};
  EXPECT_THROW(FitTarget(good, outside), Error);
  FitOptions icp;
  icp.kind = FitKind::icp;
  EXPECT_THROW(FitMotion(good, std::vector<Triangle>{{0, 1, 4}}, target, icp), Error);
}

TEST(Fit, DecomposeMotion) {
  struct Case {
    double degrees;
    Vector3 axis;
    double scale;
  };
  const std::vector<Case> cases = {
      {0.0, Vector3::UnitX(), 2.0},
      {1e-7, Vector3(1, 2, 3).normalized(), 0.5},
      {90.0, Vector3::UnitZ(), 1.0},
      {179.9999, Vector3(-1, 0, 1).normalized(), 3.0},
      {180.0, Vector3(0, 1, 1).normalized(), 1.5},
      {-200.0, Vector3(0, 0, 1), 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.degrees);
    Matrix4 m = Matrix4::Identity();
    m.linear() = c.scale * Eigen::AngleAxisd(c.degrees * kPi / 180.0, c.axis).toRotationMatrix();
    m.translation() = Vector3(4, -5, 6);
    const MotionParts p = DecomposeMotion(m);
    EXPECT_NEAR(p.scale, c.scale, 1e-12);
    EXPECT_EQ(p.translation, Vector3(4, -5, 6));
    // -200 degrees about z is 160 degrees about z.
    const double expected = c.degrees < 0 ? 160.0 : c.degrees;
    EXPECT_NEAR(p.angleDegrees, expected, 1e-6);
    if (c.degrees > 1e-3) {
      EXPECT_NEAR(std::fabs(p.axis.dot(c.axis)), 1.0, 1e-9);
    }
    Matrix4 back = Eigen::Translation3d(p.translation) *
                   Eigen::AngleAxisd(p.angleDegrees * kPi / 180.0, p.axis) *
                   Eigen::Scaling(p.scale);
    EXPECT_LT((back.matrix() - m.matrix()).norm(), 1e-9);
  }
  Matrix4 mirror = Matrix4::Identity();
  mirror.linear() = Eigen::Vector3d(-2, -2, -2).asDiagonal();
  EXPECT_EQ(DecomposeMotion(mirror).scale, -2.0);
  EXPECT_EQ(DecomposeMotion(mirror).angleDegrees, 0.0);
}

// Any 3x3 part: the kind, the mirror, the stretches along their axes and the
// shear come back, and the parts put together give the matrix again.
TEST(Fit, DecomposeAnyMatrix) {
  const Eigen::Matrix3d turn = Eigen::AngleAxisd(0.7, Vector3(1, 2, 2).normalized()).matrix();
  const Eigen::Matrix3d diagonal = Eigen::AngleAxisd(kPi / 4, Vector3::UnitZ()).matrix();
  const auto along = [](const Eigen::Matrix3d& axes, Vector3 s) {
    return Eigen::Matrix3d(axes * s.asDiagonal() * axes.transpose());
  };
  Eigen::Matrix3d shear = Eigen::Matrix3d::Identity();
  shear(0, 1) = 0.3;
  shear(1, 2) = -0.2;
  struct Case {
    const char* name;
    Eigen::Matrix3d a;
    MotionKind kind;
    Vector3 stretches;
    Eigen::Matrix3d axes;  // NaN: not checked
    Vector3 shear;         // NaN: not checked
  };
  const double nan = std::nan("");
  const Eigen::Matrix3d any = Eigen::Matrix3d::Constant(nan);
  const Eigen::Matrix3d flip_x = Vector3(-1, 1, 1).asDiagonal();
  Eigen::Matrix3d turned_axes;  // largest stretch first
  turned_axes << diagonal.col(0), Vector3::UnitZ(), diagonal.col(1);
  const std::vector<Case> cases = {
      {"rigid", turn, MotionKind::rigid, Vector3(1, 1, 1), Eigen::Matrix3d::Identity(),
       Vector3::Zero()},
      {"similarity", 2.5 * turn, MotionKind::similarity, Vector3(2.5, 2.5, 2.5),
       Eigen::Matrix3d::Identity(), Vector3::Zero()},
      {"mirrored", flip_x * turn, MotionKind::rigid, Vector3(-1, -1, -1), any, Vector3::Zero()},
      {"stretched along x", Eigen::Matrix3d(Vector3(1.2, 1, 1).asDiagonal()), MotionKind::affine,
       Vector3(1.2, 1, 1), Eigen::Matrix3d::Identity(), Vector3::Zero()},
      {"stretched along turned axes", turn * along(diagonal, Vector3(1.25, 0.8, 1)),
       MotionKind::affine, Vector3(1.25, 1, 0.8), turned_axes, Vector3(nan, 0, 0)},
      {"squashed, mirrored", turn * flip_x * Eigen::Matrix3d(Vector3(1, 1, 0.5).asDiagonal()),
       MotionKind::affine, Vector3(-1, -1, -0.5), any, Vector3::Zero()},
      {"sheared", turn * shear, MotionKind::affine, Vector3(nan, nan, nan), any,
       Vector3(0.3, 0, -0.2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Matrix4 m = Matrix4::Identity();
    m.linear() = c.a;
    m.translation() = Vector3(4, -5, 6);
    const MotionParts p = DecomposeMotion(m);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.mirror, c.a.determinant() < 0);
    for (int i = 0; i < 3; ++i) {
      if (!std::isnan(c.stretches[i])) {
        EXPECT_NEAR(p.stretches[i], c.stretches[i], 1e-12) << i;
      }
      if (!std::isnan(c.shear[i])) {
        EXPECT_NEAR(p.shear[i], c.shear[i], 1e-12) << i;
      }
      if (!std::isnan(c.axes(0, i))) {
        EXPECT_NEAR(std::fabs(p.axes.col(i).dot(c.axes.col(i))), 1.0, 1e-12) << i;
      }
    }
    EXPECT_NEAR(p.scale, p.stretches.mean(), 1e-12);
    // Put together again: the turn, then the stretches along their axes.
    const Eigen::Matrix3d r = Eigen::AngleAxisd(p.angleDegrees * kPi / 180.0, p.axis).matrix();
    EXPECT_LT((r * along(p.axes, p.stretches) - c.a).norm(), 1e-12);
    EXPECT_NEAR(p.axes.determinant() * p.axes.determinant(), 1.0, 1e-12);
    EXPECT_EQ(p.translation, Vector3(4, -5, 6));
    // The shear undone leaves columns at right angles: A H^-1 = Q K.
    Eigen::Matrix3d h = Eigen::Matrix3d::Identity();
    h(0, 1) = p.shear[0];
    h(0, 2) = p.shear[1];
    h(1, 2) = p.shear[2];
    const Eigen::Matrix3d qk = c.a * h.inverse();
    const Eigen::Matrix3d gram = qk.transpose() * qk;
    EXPECT_LT((gram - Eigen::Matrix3d(gram.diagonal().asDiagonal())).norm(), 1e-12);
  }
}

}  // namespace
}  // namespace korvane
