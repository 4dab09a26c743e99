// Transform conventions and the similarity analysis.
#include <cmath>
#include <random>

#include "geometry/affine.h"
#include "geometry/geometry.h"
#include "line_model/obj_document.h"
#include "text/error.h"
#include "test_support.h"
#include "text/messages.h"

namespace korvane {
namespace {


TEST(Conventions, ProductAndInverseResetRowThree) {
  Matrix4 a = IdentityMatrix4();
  a.linear() << 1, 2, 3, 4, 5, 6, 7, 8, 10;
  a.translation() = Vector3(1, 2, 3);
  a.matrix().row(3) << 1, 2, 3, 4;
  const Matrix4 p = a * IdentityMatrix4();
  EXPECT_EQ(p.matrix().row(3), Eigen::RowVector4d(0, 0, 0, 1));
  EXPECT_EQ(p.linear(), a.linear());
  EXPECT_EQ(p.translation(), a.translation());
  const Matrix4 inv = a.inverse();
  EXPECT_EQ(inv.matrix().row(3), Eigen::RowVector4d(0, 0, 0, 1));
  EXPECT_TRUE((inv.linear() * a.linear()).isApprox(Eigen::Matrix3d::Identity(), 1e-12));
}

TEST(Conventions, InverseOfTurnAndMove) {
  Matrix4 m = IdentityMatrix4();
  m.translate(Vector3(1, 2, 3));
  m.rotate(Eigen::AngleAxisd(kPi / 2, Vector3::UnitZ()));
  EXPECT_TRUE(TransformPoint(m, Vector3(1, 0, 0)).isApprox(Vector3(1, 3, 3), 1e-15));
  EXPECT_LT((TransformPoint(m.inverse(), Vector3(1, 2, 3))).norm(), 1e-15);
  // A zero axis turns nothing.
  const Eigen::Quaterniond q(Eigen::AngleAxisd(1.0, Vector3::Zero()));
  EXPECT_EQ(q.toRotationMatrix(), Eigen::Matrix3d::Identity());
  EXPECT_EQ(Vector3::Zero().normalized(), Vector3::Zero());
}

TEST(CalcRotationSign, RightHandedTurnsArePositive) {
  struct Case {
    Vector3 a, b, n;
    int sign;
  } cases[] = {
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, 1},
      {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, -1},
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 0}, -1},
      {{1, 0, 0}, {2, 0, 0}, {0, 0, 1}, -1},
      {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, -1},
      {{1, 0, 0}, {0, 1, 0}, {0, 0, NAN}, -1},
      {{1, 1, 0}, {-1, 1, 0.5}, {0, 0, 3}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(CalcRotationSign(c.a, c.b, c.n), c.sign);
}

ReferenceTriangles Triangles(Vector3 pa, Vector3 pb, Vector3 pc, Vector3 qa, Vector3 qb,
                             Vector3 qc) {
  return {pa, pb, pc, qa, qb, qc};
}

TEST(Analysis, KnownMotions) {
  // Same triangle: the identity.
  const Matrix4 id =
      AnalyzeTriangles(Triangles({0, 0, 0}, {4, 0, 0}, {0, 3, 0}, {0, 0, 0}, {4, 0, 0}, {0, 3, 0}))
          .matrix;
  EXPECT_EQ(id.matrix(), Eigen::Matrix4d::Identity());
  // A quarter turn about z, scale 2, moved by (10, 20, 30).
  const Matrix4 m = AnalyzeTriangles(Triangles({0, 0, 0}, {4, 0, 0}, {0, 3, 0}, {10, 20, 30},
                                               {10, 28, 30}, {4, 20, 30}))
                        .matrix;
  Eigen::Matrix4d expected;
  expected << 0, -2, 0, 10, 2, 0, 0, 20, 0, 0, 2, 30, 0, 0, 0, 1;
  EXPECT_LT((m.matrix() - expected).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_NE(m.matrix()(0, 0), 0.0) << "the diagonal holds rounding residues, as composed";
  // A mirrored copy becomes a turn about x.
  const Matrix4 mirror = AnalyzeTriangles(Triangles({0, 0, 0}, {4, 0, 0}, {0, 3, 1}, {0, 0, 0},
                                                    {4, 0, 0}, {0, 3, -1}))
                             .matrix;
  expected << 1, 0, 0, 0, 0, 0.8, 0.6, 0, 0, -0.6, 0.8, 0, 0, 0, 0, 1;
  EXPECT_LT((mirror.matrix() - expected).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_TRUE(TransformPoint(mirror, Vector3(0, 3, 1)).isApprox(Vector3(0, 3, -1), 1e-15));
}

TEST(Analysis, CleanResultsWhereRoundingUsedToGiveNaN) {
  // u = u' = (1, 1, 1): the cosine comes out a hair above 1.
  const Vector3 a(0.1, 0.2, 0.3), b(1.1, 1.2, 1.3), c(0.1, 5, -2);
  const Matrix4 same = AnalyzeTriangles(Triangles(a, b, c, a, b, c)).matrix;
  EXPECT_TRUE(same.matrix().allFinite());
  EXPECT_TRUE(same.matrix().isApprox(Eigen::Matrix4d::Identity(), 1e-12));
  const Vector3 shift(1e6, -3, 2.5);
  const Matrix4 moved = AnalyzeTriangles(Triangles(a, b, c, a + shift, b + shift, c + shift)).matrix;
  EXPECT_TRUE(moved.matrix().allFinite());
  EXPECT_TRUE(TransformPoint(moved, c).isApprox(c + shift, 1e-12));
}

TEST(Analysis, HalfTurnOfTheBaseDirectionLandsOnB) {
  const ReferenceTriangles t =
      Triangles({0, 0, 0}, {4, 0, 0}, {0, 3, 0}, {0, 0, 0}, {-4, 0, 0}, {0, -3, 0});
  const Matrix4 m = AnalyzeTriangles(t).matrix;
  EXPECT_LT((TransformPoint(m, t.pb) - t.qb).norm(), 1e-14);
  EXPECT_LT((TransformPoint(m, t.pc) - t.qc).norm(), 1e-14);
  // Other directions, other lengths.
  const ReferenceTriangles t2 =
      Triangles({1, 1, 1}, {1, 5, 1}, {3, 1, 2}, {7, 7, 7}, {7, -1, 7}, {3, 7, 5});
  const Matrix4 m2 = AnalyzeTriangles(t2).matrix;
  EXPECT_LT((TransformPoint(m2, t2.pb) - t2.qb).norm(), 1e-13);
  EXPECT_LT((TransformPoint(m2, t2.pc) - t2.qc).norm(), 1e-13);
}

TEST(Analysis, DegenerateTrianglesAreRefused) {
  const Vector3 o(0, 0, 0), x(4, 0, 0), y(0, 3, 0);
  const ReferenceTriangles cases[] = {
      Triangles(o, o, y, o, x, y),                  // base A = B
      Triangles(o, x, y, o, o, y),                  // moved A = B
      Triangles(o, x, Vector3(8, 0, 0), o, x, y),   // base on one line
      Triangles(o, x, y, o, x, Vector3(-2, 0, 0)),  // moved on one line
      Triangles(o, x, y, o, Vector3(INFINITY, 0, 0), y),
      Triangles(o, x, y, o, Vector3(NAN, 1, 0), y),
  };
  for (const ReferenceTriangles& t : cases) {
    try {
      AnalyzeTriangles(t);
      ADD_FAILURE() << t.pb.transpose() << " / " << t.qb.transpose();
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::refused);
    }
  }
}

TEST(Analysis, DocumentsMustBeAnalysed) {
  ObjDocument base;
  base.vertices = {{0, 0, 0}, {4, 0, 0}, {0, 3, 0}};
  base.pointIndexA = 0;
  base.pointIndexB = 1;
  base.pointIndexC = 2;
  ObjDocument moved = base;
  moved.pointIndexA = 1;
  moved.pointIndexB = 1;
  EXPECT_THROW(
      {
        try {
          AnalyzeAffineMatrix(base, moved);
        } catch (const Error& e) {
          EXPECT_EQ(testing::MessageBytes(e), text::kNotAnalysed);
          throw;
        }
      },
      Error);
  ObjDocument fresh;
  EXPECT_THROW(AnalyzeAffineMatrix(fresh, base), Error);
  moved.pointIndexA = 0;
  EXPECT_EQ(AnalyzeAffineMatrix(base, moved).matrix(), Eigen::Matrix4d::Identity());
}

TEST(Analysis, RandomSimilaritiesAreRecovered) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  double worst = 0.0;
  for (int i = 0; i < 2000; ++i) {
    const Vector3 axis = Vector3(u(rng), u(rng), u(rng)).normalized();
    const double angle = (i % 4 == 0) ? kPi * (1 - 1e-9 * (i % 3)) : kPi * u(rng);
    const double scale = std::pow(10.0, 3 * u(rng));
    Matrix4 motion = IdentityMatrix4();
    motion.translate(Vector3(u(rng), u(rng), u(rng)) * 1e3);
    motion.rotate(Eigen::AngleAxisd(angle, axis));
    motion.scale(scale);
    const Vector3 pa(u(rng), u(rng), u(rng)), pb(u(rng), u(rng), u(rng)), pc(u(rng), u(rng), u(rng));
    const Matrix4 m = AnalyzeTriangles(Triangles(pa, pb, pc, TransformPoint(motion, pa),
                                                 TransformPoint(motion, pb),
                                                 TransformPoint(motion, pc)))
                          .matrix;
    const double size = scale + 1e3;
    for (const Vector3& p : {pa, pb, pc}) {
      worst = std::max(worst, (TransformPoint(m, p) - TransformPoint(motion, p)).norm() / size);
    }
  }
  // Thin random triangles amplify rounding at C; well-shaped ones stay near 1e-15.
  EXPECT_LT(worst, 1e-7);
}

}  // namespace
}  // namespace korvane
