#include "geometry/icp_loop.h"

#include <Eigen/Cholesky>
#include <cmath>
#include <cstdint>
#include <memory>

#include "geometry/convergence.h"
#include "geometry/distinct.h"
#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"
#include "geometry/rejection.h"

namespace korvane::geometry {
namespace {

// A step that moves the sample by less than this share of the trimmed pairs'
// scatter has settled: on rounded or noisy copies the last digits are lost in
// it anyway.
constexpr double kScatterFraction = 0.25;
// Weight of the point-to-point term beside point-to-plane: it only keeps the
// step defined where the planes leave a direction free (a flat plate slides
// along itself).
constexpr double kPointWeight = 1e-3;
// A pair whose line to its closest point is further than this (cosine) from
// the face's normal meets the surface at an edge or a corner.
constexpr double kOffFace = 0.9999;
// Steps are halved at most down to this fraction.
constexpr double kShortestStep = 1.0 / 64.0;

// One Gauss-Newton step of a similarity about the kept pairs' centroid:
// point-to-plane where the pair has a normal, plus a light point-to-point
// term (the whole of it where there is none). Rotation and scale are solved
// for in units of the pairs' spread, so the system is as well conditioned
// for a part of a micrometre as for a site of kilometres.
struct Increment {
  Eigen::Matrix<double, 7, 1> x = Eigen::Matrix<double, 7, 1>::Zero();  // turn, scale, shift
  Vector3 centre = Vector3::Zero();
  double spread = 1.0;
  // An affine step instead: the sample's displacement is e * p + shift,
  // p its offset from `centre` in units of `spread` (e row by row, then the shift).
  bool affine = false;
  Eigen::Matrix<double, 12, 1> y = Eigen::Matrix<double, 12, 1>::Zero();
};

// A light pull towards no change, relative to the system's mean diagonal: a
// direction neither the planes nor the points determine (across a flat
// plate) is left as the start had it, the similarity's.
constexpr double kAffineDamping = 1e-9;

// The affine counterpart of PlaneStep: the same terms, linear in the twelve
// numbers.
void AffinePlaneStep(const std::vector<Vector3>& moved, const std::vector<Vector3>& paired,
                     const std::vector<Vector3>& normals, const std::vector<char>& mask,
                     Increment& inc) {
  using Vector12 = Eigen::Matrix<double, 12, 1>;
  Eigen::Matrix<double, 12, 12> a = Eigen::Matrix<double, 12, 12>::Zero();
  Vector12 b = Vector12::Zero();
  const Vector3& c = inc.centre;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (!mask[i]) continue;
    const Vector3 p = (moved[i] - c) / inc.spread;
    const Vector3 e = moved[i] - paired[i];
    const Vector3& n = normals[i];
    const bool plane = n.squaredNorm() > 0.0;
    if (plane) {
      Vector12 j;
      j << n.x() * p, n.y() * p, n.z() * p, n;
      a.selfadjointView<Eigen::Lower>().rankUpdate(j);
      b += j * n.dot(e);
    }
    const double w = plane ? kPointWeight : 1.0;
    for (int r = 0; r < 3; ++r) {
      // Coordinate r moves by row r of e times p, plus shift r.
      Vector12 j = Vector12::Zero();
      j.segment<3>(3 * r) = p;
      j[9 + r] = 1.0;
      a.selfadjointView<Eigen::Lower>().rankUpdate(j, w);
      b += w * j * e[r];
    }
  }
  a.diagonal().array() += kAffineDamping * a.diagonal().mean();
  const Vector12 y = a.selfadjointView<Eigen::Lower>().ldlt().solve(-b);
  if (y.allFinite()) inc.y = y;
}

Increment PlaneStep(const std::vector<Vector3>& moved, const std::vector<Vector3>& paired,
                    const std::vector<Vector3>& normals, const std::vector<char>& mask,
                    std::size_t keep, Freedom freedom) {
  Increment inc;
  Vector3& c = inc.centre;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (mask[i]) c += moved[i];
  }
  c /= static_cast<double>(keep);
  double spread = 0.0;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (mask[i]) spread += (moved[i] - c).squaredNorm();
  }
  spread = std::sqrt(spread / static_cast<double>(keep));
  if (!(spread > 0.0)) return inc;
  inc.spread = spread;
  if (freedom.affine) {
    inc.affine = true;
    AffinePlaneStep(moved, paired, normals, mask, inc);
    return inc;
  }
  const bool scaled = freedom.scaled;
  using Vector7 = Eigen::Matrix<double, 7, 1>;
  Eigen::Matrix<double, 7, 7> a = Eigen::Matrix<double, 7, 7>::Zero();
  Vector7 b = Vector7::Zero();
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (!mask[i]) continue;
    const Vector3 p = (moved[i] - c) / spread;
    const Vector3 e = moved[i] - paired[i];
    const Vector3& n = normals[i];
    const bool plane = n.squaredNorm() > 0.0;
    if (plane) {
      Vector7 j;
      j << p.cross(n), n.dot(p), n;
      a.selfadjointView<Eigen::Lower>().rankUpdate(j);
      b += j * n.dot(e);
    }
    const double w = plane ? kPointWeight : 1.0;
    // Rows of d(moved)/d(rotation, scale, shift): -[p]x, p, I.
    Eigen::Matrix<double, 3, 7> j3;
    j3 << 0.0, p.z(), -p.y(), p.x(), 1.0, 0.0, 0.0,  //
        -p.z(), 0.0, p.x(), p.y(), 0.0, 1.0, 0.0,    //
        p.y(), -p.x(), 0.0, p.z(), 0.0, 0.0, 1.0;
    a.triangularView<Eigen::Lower>() += (w * j3.transpose() * j3).eval();
    b += w * j3.transpose() * e;
  }
  if (!scaled) {
    // The scale column held at 0: its equation reads x[3] = 0.
    a.row(3).setZero();
    a.col(3).setZero();
    a(3, 3) = 1.0;
    b[3] = 0.0;
  }
  const Vector7 x = a.selfadjointView<Eigen::Lower>().ldlt().solve(-b);
  if (x.allFinite()) inc.x = x;
  return inc;
}

// `factor` of the increment, applied after m.
Matrix4 Stepped(const Increment& inc, double factor, const Matrix4& m) {
  if (inc.affine) {
    Eigen::Matrix3d e;
    e << inc.y.segment<3>(0).transpose(), inc.y.segment<3>(3).transpose(),
        inc.y.segment<3>(6).transpose();
    e *= factor / inc.spread;
    Matrix4 step = Matrix4::Identity();
    step.linear() += e;
    step.translation() = factor * inc.y.tail<3>() - e * inc.centre;
    Matrix4 next = step * m;
    next.makeAffine();
    return next;
  }
  const Vector3 omega = factor * inc.x.head<3>() / inc.spread;
  const double sigma = factor * inc.x[3] / inc.spread;
  const double angle = omega.norm();
  Matrix4 step = Matrix4::Identity();
  step.linear() =
      std::exp(sigma) * (angle > 0.0 ? Eigen::AngleAxisd(angle, omega / angle).toRotationMatrix()
                                     : Eigen::Matrix3d::Identity());
  step.translation() = inc.centre + factor * inc.x.tail<3>() - step.linear() * inc.centre;
  Matrix4 next = step * m;
  next.makeAffine();
  return next;
}

// Largest move of a sample point under `next` across the surface: along the
// normal of its pair where it has one. Sliding along the surface changes no
// distance, and on a surface of revolution (a shaft, a tank) rounding noise
// keeps the turn about its axis drifting by tiny steps that would otherwise
// never count as converged.
double NormalShift(const std::vector<Vector3>& sample, const std::vector<Vector3>& moved,
                   const std::vector<Vector3>& normals, const Matrix4& next) {
  double worst = 0.0;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    const Vector3 d = TransformPoint(next, sample[i]) - moved[i];
    const Vector3& n = normals[i];
    worst = std::max(worst, n.squaredNorm() > 0.0 ? std::fabs(n.dot(d)) : d.norm());
  }
  return worst;
}

}  // namespace

ClosestPoints SurfaceQueries(const FitTarget& target, unsigned threads) {
  auto hints = std::make_shared<std::vector<std::uint32_t>>();
  return [&target, threads, hints](const std::vector<Vector3>& q, std::vector<Vector3>& points,
                                   std::vector<Vector3>& normals) {
    target.ClosestWithNormals(q, points, normals, threads, hints.get());
  };
}

Run RunIcp(const std::vector<Vector3>& sample, const ClosestPoints& closest, Matrix4 m, double trim,
           int max_iterations, double convergence, double cap, Freedom freedom,
           bool inclusive_first, bool by_scatter) {
  const std::size_t n = sample.size();
  const std::size_t trimmed = KeptCount(n, trim);
  std::size_t keep = inclusive_first ? n : trimmed;
  std::vector<Vector3> moved(n), paired, normals;
  std::vector<double> d2(n);
  const std::vector<char> all(n, 1);
  Run run;
  bool converged = false;
  // A Gauss-Newton step that makes things worse (it went far along a
  // direction the surface hardly constrains, as the turn of a faceted
  // torus about its axis) is taken again shorter, from where it started.
  Increment inc;
  Matrix4 from = m;
  double factor = 1.0, last_objective = std::numeric_limits<double>::infinity();
  bool planes = false;
  for (int it = 0;; ++it) {
    for (std::size_t i = 0; i < n; ++i) moved[i] = TransformPoint(m, sample[i]);
    closest(moved, paired, normals);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const Vector3 e = moved[i] - paired[i];
      d2[i] = e.squaredNorm();
      total += d2[i];
      // Off an edge or a corner of the surface (an open end, a hole, a
      // sharp rim) the distance grows along the line to the closest point,
      // not along the face's normal: a face's plane would let the point
      // slide past the edge unopposed.
      Vector3& nv = normals[i];
      if (d2[i] > 0.0 && nv.squaredNorm() > 0.0) {
        const Vector3 u = e / std::sqrt(d2[i]);
        if (std::fabs(u.dot(nv)) < kOffFace) nv = u;
      }
    }
    const std::vector<char> mask = KeepSmallest(d2, trimmed);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += mask[i] ? d2[i] : 0.0;
    const double objective =
        keep == n ? total / static_cast<double>(n) : sum / static_cast<double>(trimmed);
    if (planes && objective > last_objective && factor > kShortestStep && it < max_iterations) {
      factor *= 0.5;
      converged = false;
      m = Stepped(inc, factor, from);
      continue;
    }
    const double scale = ScaleOf(m);
    run.m = m;
    run.score = std::sqrt(sum / static_cast<double>(trimmed)) / scale;
    run.iterations = it;
    if (converged && keep != trimmed) {
      keep = trimmed;
      converged = false;
      last_objective = std::numeric_limits<double>::infinity();
    }
    if (converged) break;
    if (it >= max_iterations) {
      run.capped = true;
      break;
    }
    const std::vector<char>& used = keep == n ? all : mask;
    planes = false;
    for (const Vector3& nv : normals) planes = planes || nv.squaredNorm() > 0.0;
    Matrix4 next;
    if (planes) {
      inc = PlaneStep(moved, paired, normals, used, keep, freedom);
      from = m;
      factor = 1.0;
      last_objective = objective;
      next = Stepped(inc, factor, m);
    } else {
      next = PairMotion(sample, paired, used, keep, freedom);
    }
    if (!next.matrix().allFinite()) break;
    // Both phases settle against the trimmed pairs' scatter: the inclusive
    // one must finish turning a part into place before its worst pairs go.
    converged = Convergence{convergence, by_scatter ? kScatterFraction : 0.0}.Reached(
        NormalShift(sample, moved, normals, next), run.score * scale);
    m = next;
  }
  double capped_sum = 0.0;
  for (const double d : d2) capped_sum += std::min(std::sqrt(d), cap);
  run.robust = capped_sum / static_cast<double>(n) / ScaleOf(run.m);
  return run;
}

Eigen::AlignedBox3d BoxOf(const std::vector<Vector3>& v) {
  Eigen::AlignedBox3d box;
  for (const Vector3& p : v) box.extend(p);
  return box;
}

std::vector<Run> Distinct(const std::vector<Run>& sorted, const Eigen::AlignedBox3d& box,
                          double apart, std::size_t count) {
  return KeepDistinct(sorted, count, [&](const Run& kept, const Run& r) {
    return CornerShift(box, r.m, kept.m) <= apart;
  });
}

}  // namespace korvane::geometry
