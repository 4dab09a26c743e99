#include "geometry/fit.h"

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "geometry/affine.h"
#include "geometry/farthest.h"
#include "geometry/icp.h"
#include "text/error.h"

namespace korvane::geometry {

using namespace detail;

namespace {

[[noreturn]] void Refuse(text::Reason reason, text::MeshRole mesh = text::MeshRole::none) {
  throw Error(text::Refusal{reason, mesh});
}

// `which` says which mesh `v` is.
void CheckVertices(const std::vector<Vector3>& v, text::MeshRole which) {
  if (v.empty()) Refuse(text::Reason::no_vertices, which);
  if (v.size() < 3) Refuse(text::Reason::fewer_than_three_vertices, which);
  for (const Vector3& p : v) {
    if (!p.allFinite()) Refuse(text::Reason::non_finite_coordinate, which);
  }
  // The vertex farthest from the first spans at least half the mesh, so the
  // line through both is a fair reference for "everything on one line".
  const Vector3& a = v.front();
  std::size_t far = 0;
  double far_d = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = (v[i] - a).squaredNorm();
    if (d > far_d) {
      far_d = d;
      far = i;
    }
  }
  bool off_line = false;
  if (far_d > 0.0) {
    const Vector3 u = (v[far] - a) / std::sqrt(far_d);
    const double limit = 1e-18 * far_d;  // (1e-9 of the span)^2
    for (const Vector3& p : v) {
      const Vector3 w = p - a;
      if ((w - w.dot(u) * u).squaredNorm() > limit) {
        off_line = true;
        break;
      }
    }
  }
  if (!off_line) Refuse(text::Reason::all_on_one_line, which);
}

void CheckOptions(const FitOptions& o) {
  if (!(o.tolerance > 0.0) || !std::isfinite(o.tolerance))
    Refuse(text::Reason::tolerance_not_positive);
  if (o.trim && !(*o.trim >= 0.0 && *o.trim <= 0.5)) Refuse(text::Reason::trim_out_of_range);
  if (o.maxIterations < 0) Refuse(text::Reason::iteration_limit_negative);
}

// Where the 95th percentile of n values stands, by nearest rank.
std::size_t Rank95(std::size_t n) { return (95 * n + 99) / 100 - 1; }

// 95th percentile by nearest rank, of values consumed.
double Percentile95(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const std::size_t k = Rank95(v.size());
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

Vector3 Centroid(const std::vector<Vector3>& v) {
  Vector3 c = Vector3::Zero();
  for (const Vector3& p : v) c += p;
  return c / static_cast<double>(v.size());
}

}  // namespace

namespace detail {

// Pairs kept by trimming: the `keep` smallest of `d` (ties: lower index), as a
// mask in index order so the solve sums in the same order every time.
std::vector<char> KeepSmallest(const std::vector<double>& d, std::size_t keep) {
  std::vector<char> mask(d.size(), 1);
  if (keep >= d.size()) return mask;
  std::vector<std::uint32_t> idx(d.size());
  std::iota(idx.begin(), idx.end(), 0u);
  const auto less = [&](std::uint32_t a, std::uint32_t b) {
    return d[a] < d[b] || (d[a] == d[b] && a < b);
  };
  std::nth_element(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(keep - 1), idx.end(),
                   less);
  const std::uint32_t last = idx[keep - 1];
  for (std::size_t i = 0; i < d.size(); ++i)
    mask[i] = less(static_cast<std::uint32_t>(i), last) || i == last;
  return mask;
}

std::size_t KeptCount(std::size_t n, double trim) {
  const auto dropped = static_cast<std::size_t>(std::floor(trim * static_cast<double>(n)));
  return std::max<std::size_t>(std::min<std::size_t>(3, n), n - dropped);
}

// Eigen::umeyama's solution from sums over the pairs, in two passes: it
// would copy both point sets twice (96 MB for a million pairs). Not `proper`:
// the reflection too, when one fits better than any turn.
Matrix4 PairMotion(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                   const std::vector<char>& mask, std::size_t keep, bool proper) {
  const auto kept = [&](std::size_t i) { return mask.empty() || mask[i] != 0; };
  Vector3 ms = Vector3::Zero(), md = Vector3::Zero();
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    ms += src[i];
    md += dst[i];
  }
  const double one_over_n = 1.0 / static_cast<double>(keep);
  ms *= one_over_n;
  md *= one_over_n;
  Eigen::Matrix3d sigma = Eigen::Matrix3d::Zero();
  double var = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (!kept(i)) continue;
    const Vector3 a = src[i] - ms;
    sigma += (dst[i] - md) * a.transpose();
    var += a.squaredNorm();
  }
  sigma *= one_over_n;
  var *= one_over_n;
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(sigma, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Vector3 signs = Vector3::Ones();
  if (proper && svd.matrixU().determinant() * svd.matrixV().determinant() < 0.0) signs(2) = -1.0;
  const Eigen::Matrix3d r = svd.matrixU() * signs.asDiagonal() * svd.matrixV().transpose();
  const double c = svd.singularValues().dot(signs) / var;
  Matrix4 m = Matrix4::Identity();
  m.linear() = c * r;
  m.translation() = md - c * r * ms;
  return m;
}

// Similarity carrying the masked src columns onto the dst columns.
Matrix4 SolveMasked(const std::vector<Vector3>& src, const std::vector<Vector3>& dst,
                    const std::vector<char>& mask, std::size_t keep) {
  return PairMotion(src, dst, mask, keep, true);
}

// Every `stride`-th vertex, at most `limit` of them.
std::vector<Vector3> Subsample(const std::vector<Vector3>& v, std::size_t limit) {
  const std::size_t stride = (v.size() + limit - 1) / limit;
  std::vector<Vector3> out;
  out.reserve(v.size() / stride + 1);
  for (std::size_t i = 0; i < v.size(); i += stride) out.push_back(v[i]);
  return out;
}

double ScaleOf(const Matrix4& m) { return std::cbrt(std::fabs(m.linear().determinant())); }

// Scaled ICP can shrink the base onto a small patch of the target, where every
// residual is small. A copy keeps its spread: the band only has to be wide
// enough for removed or added vertices.
bool ScaleConsistent(double ratio) { return ratio >= 0.5 && ratio <= 2.0; }

Frame PrincipalFrame(const std::vector<Vector3>& v) {
  const Vector3 c = Centroid(v);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (const Vector3& p : v) {
    const Vector3 d = p - c;
    cov += d * d.transpose();
  }
  cov /= static_cast<double>(v.size());
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(cov);
  return {c, es.eigenvectors(), es.eigenvalues(), cov.trace()};
}

}  // namespace detail

double Spread(const std::vector<Vector3>& v) {
  const Vector3 c = Centroid(v);
  double sum = 0.0;
  for (const Vector3& p : v) sum += (p - c).squaredNorm();
  return std::sqrt(sum / static_cast<double>(v.size()));
}

namespace {

// +1 or -1 for the handedness of a vertex set's principal frame, each axis
// pointed to where the set is skewed (an axis along which it is not, by the
// sign of the moment that mixes all three); 0 when the frame is not
// determined. A turned copy keeps it, a mirror image flips it, in any order.
// Skews within `tolerance` (relative to the spread cubed) count as none, as
// rounding might turn them.
int Handedness(const std::vector<Vector3>& v, double tolerance) {
  constexpr double kDistinct = 1e-3;  // variances closer than this leave the axes to chance
  const Frame f = PrincipalFrame(v);
  const Vector3& var = f.variances;
  if (!(var[1] - var[0] > kDistinct * var[2] && var[2] - var[1] > kDistinct * var[2])) return 0;
  Eigen::Matrix3d axes = f.axes;
  Vector3 m3 = Vector3::Zero();
  double mixed = 0.0;
  for (const Vector3& p : v) {
    const Vector3 x = axes.transpose() * (p - f.centroid);
    m3 += x.cwiseProduct(x).cwiseProduct(x);
    mixed += x[0] * x[1] * x[2];
  }
  const double n = static_cast<double>(v.size());
  const double unit = std::pow(f.spread, 1.5) * n * tolerance;
  int open = -1;
  for (int k = 0; k < 3; ++k) {
    if (std::fabs(m3[k]) > unit) {
      if (m3[k] < 0) {
        axes.col(k) = -axes.col(k);
        mixed = -mixed;
      }
    } else if (open < 0) {
      open = k;
    } else {
      return 0;
    }
  }
  if (open >= 0) {
    if (!(std::fabs(mixed) > unit)) return 0;
    if (mixed < 0) axes.col(open) = -axes.col(open);
  }
  return axes.determinant() > 0 ? 1 : -1;
}

// Sorted distances from the centroid, scaled to unit RMS: the same list for
// two vertex sets that are similar copies, whatever their order; for sets of
// different sizes, compared at the same quantiles.
bool RadiiAgree(const std::vector<Vector3>& a, const std::vector<Vector3>& b, double size,
                double tolerance) {
  const auto radii = [](const std::vector<Vector3>& v, double& rms) {
    const Vector3 c = Centroid(v);
    std::vector<double> r(v.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      r[i] = (v[i] - c).norm();
      sum += r[i] * r[i];
    }
    rms = std::sqrt(sum / static_cast<double>(v.size()));
    std::sort(r.begin(), r.end());
    return r;
  };
  double rms_a = 0.0, rms_b = 0.0;
  std::vector<double> ra = radii(a, rms_a);
  const std::vector<double> rb = radii(b, rms_b);
  if (!(rms_a > 0.0)) return false;
  const double s = rms_b / rms_a;
  const std::size_t n = std::min(ra.size(), rb.size());
  if (n == 0) return false;
  const auto at = [n](const std::vector<double>& r, std::size_t i) {
    return n == r.size() || n == 1 ? r[i] : r[i * (r.size() - 1) / (n - 1)];
  };
  std::vector<double> d(n);
  for (std::size_t i = 0; i < n; ++i) d[i] = std::fabs(s * at(ra, i) - at(rb, i));
  return Percentile95(std::move(d)) <= tolerance * size;
}

bool SameShapeIgnoringOrder(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                            double size, double tolerance) {
  // The centroid distances cannot tell a mirror image; the handedness can.
  return RadiiAgree(a, b, size, tolerance) &&
         Handedness(a, tolerance) * Handedness(b, tolerance) >= 0;
}

}  // namespace

ResidualStats ComputeResidualStats(std::vector<double> d, double length) {
  ResidualStats s;
  s.length = length;
  s.count = d.size();
  if (d.empty()) return s;
  double sum = 0.0;
  double max = 0.0;
  for (double x : d) {
    sum += x * x;
    max = std::max(max, x);
  }
  const std::size_t n = d.size();
  s.rms = std::sqrt(sum / static_cast<double>(n));
  s.max = max;
  // The 95% rank first: everything before it is then no larger, and the
  // median is found among those.
  const std::size_t k = Rank95(n);
  const auto at = [&](std::size_t i) { return d.begin() + static_cast<std::ptrdiff_t>(i); };
  std::nth_element(d.begin(), at(k), d.end());
  s.p95 = d[k];
  std::nth_element(d.begin(), at(n / 2), at(k + 1));
  s.median = d[n / 2];
  if (n % 2 == 0) s.median = 0.5 * (s.median + *std::max_element(d.begin(), at(n / 2)));
  s.rmsRelative = s.rms / length;
  s.medianRelative = s.median / length;
  s.p95Relative = s.p95 / length;
  s.maxRelative = s.max / length;
  return s;
}

double BoundingDiagonal(const std::vector<Vector3>& v) {
  if (v.empty()) return 0.0;
  Eigen::AlignedBox3d box;
  for (const Vector3& p : v) box.extend(p);
  return box.diagonal().norm();
}

FitTarget::FitTarget(const std::vector<Vector3>& vertices, const std::vector<Triangle>& triangles,
                     unsigned threads)
    : vertices_(&vertices), triangles_(&triangles), threads_(threads) {
  CheckVertices(vertices, text::MeshRole::moved);
  if (triangles.empty()) {
    points_ = std::make_unique<PointIndex>(vertices);
  } else {
    // What the surface index would refuse is refused now, not when it is built.
    if (triangles.size() > std::numeric_limits<std::uint32_t>::max())
      Refuse(text::Reason::index_too_many_triangles);
    // Vertices on no face are part of the mesh too: points are measured to
    // them as well as to the surface.
    std::vector<char> used(vertices.size(), 0);
    for (const Triangle& t : triangles) {
      for (const std::uint32_t i : t) {
        if (i >= vertices.size()) Refuse(text::Reason::index_missing_vertex);
        used[i] = 1;
      }
    }
    for (std::size_t i = 0; i < vertices.size(); ++i) {
      if (!used[i]) loose_.push_back(vertices[i]);
    }
    if (!loose_.empty()) points_ = std::make_unique<PointIndex>(loose_);
  }
  size_ = BoundingDiagonal(vertices);
  spread_ = Spread(vertices);
}

FitTarget::~FitTarget() = default;

const SurfaceIndex& FitTarget::Surface() const {
  std::call_once(built_, [&] {
    surface_ = std::make_unique<SurfaceIndex>(*vertices_, *triangles_, threads_);
  });
  return *surface_;
}

void FitTarget::PairedDistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                                    std::vector<double>& out, unsigned threads) const {
  const std::vector<Vector3>& w = *vertices_;
  out.resize(base.size());
  // Each thread owns a range of vertices and looks at every triangle for the
  // corners in it: no two threads write one vertex, and min is exact, so the
  // result is the same on any number.
  ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = (TransformPoint(m, base[i]) - w[i]).norm();
    for (const Triangle& t : *triangles_) {
      for (const std::uint32_t c : t) {
        if (c < begin || c >= end) continue;
        const Vector3 p = TransformPoint(m, base[c]);
        const double d = (ClosestPointOnTriangle(p, w[t[0]], w[t[1]], w[t[2]]) - p).norm();
        if (d < out[c]) out[c] = d;
      }
    }
  });
}

void FitTarget::Closest(const std::vector<Vector3>& queries, std::vector<Vector3>& points,
                        unsigned threads) const {
  if (hasSurface()) {
    std::vector<double> d;
    Surface().ClosestBatch(queries, points, points_ ? &d : nullptr, threads);
    if (!points_) return;
    ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const PointIndex::Hit h = points_->Nearest(queries[i]);
        if (h.distanceSquared < d[i] * d[i]) points[i] = loose_[h.index];
      }
    });
    return;
  }
  points.resize(queries.size());
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      points[i] = (*vertices_)[points_->Nearest(queries[i]).index];
  });
}

void FitTarget::ClosestWithNormals(const std::vector<Vector3>& queries,
                                   std::vector<Vector3>& points, std::vector<Vector3>& normals,
                                   unsigned threads) const {
  normals.assign(queries.size(), Vector3::Zero());
  if (!hasSurface()) {
    Closest(queries, points, threads);
    return;
  }
  std::vector<double> d;
  std::vector<std::uint32_t> hit;
  Surface().ClosestBatch(queries, points, &d, threads, &hit);
  const std::vector<Vector3>& v = *vertices_;
  ParallelRanges(queries.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (points_) {
        const PointIndex::Hit h = points_->Nearest(queries[i]);
        if (h.distanceSquared < d[i] * d[i]) {
          points[i] = loose_[h.index];
          continue;
        }
      }
      const Triangle& t = (*triangles_)[hit[i]];
      const Vector3 n = (v[t[1]] - v[t[0]]).cross(v[t[2]] - v[t[0]]);
      const double len = n.norm();
      if (len > 0.0) normals[i] = n / len;
    }
  });
}

std::vector<Vector3> FitTarget::SpreadPoints(std::size_t count) const {
  const std::vector<Vector3>& v = *vertices_;
  if (!hasSurface()) return Subsample(v, count);
  const std::vector<Triangle>& tris = *triangles_;
  std::vector<double> area(tris.size());
  double total = 0.0;
  for (std::size_t k = 0; k < tris.size(); ++k) {
    const Triangle& t = tris[k];
    area[k] = 0.5 * (v[t[1]] - v[t[0]]).cross(v[t[2]] - v[t[0]]).norm();
    total += area[k];
  }
  std::vector<Vector3> out;
  out.reserve(count + loose_.size());
  if (total > 0.0) {
    // Stratified along the running sum of areas; within a triangle a point
    // of a low-discrepancy sequence, folded into it.
    const double step = total / static_cast<double>(count);
    double next = 0.5 * step, sum = 0.0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < tris.size(); ++k) {
      sum += area[k];
      while (next < sum && out.size() < count) {
        double a = std::fmod(0.5 + 0.7548776662466927 * static_cast<double>(j), 1.0);
        double b = std::fmod(0.5 + 0.5698402909980532 * static_cast<double>(j), 1.0);
        if (a + b > 1.0) a = 1.0 - a, b = 1.0 - b;
        const Triangle& t = tris[k];
        out.push_back(v[t[0]] + a * (v[t[1]] - v[t[0]]) + b * (v[t[2]] - v[t[0]]));
        next += step;
        ++j;
      }
    }
  }
  out.insert(out.end(), loose_.begin(), loose_.end());
  if (out.size() < 3) return Subsample(v, count);
  return out;
}

void FitTarget::DistancesFrom(const Matrix4& m, const std::vector<Vector3>& base,
                              std::vector<double>& out, unsigned threads) const {
  if (hasSurface()) {
    Surface().DistancesFrom(m, base, out, threads);
    if (!points_) return;
    ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const double d = std::sqrt(points_->Nearest(TransformPoint(m, base[i])).distanceSquared);
        if (d < out[i]) out[i] = d;
      }
    });
    return;
  }
  out.resize(base.size());
  ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      out[i] = std::sqrt(points_->Nearest(TransformPoint(m, base[i])).distanceSquared);
  });
}

Residuals MeasureResiduals(const std::vector<Vector3>& base, const FitTarget& target,
                           const Matrix4& m, unsigned threads, std::vector<double>* distances,
                           double tolerance) {
  CheckVertices(base, text::MeshRole::base);
  Residuals r;
  std::vector<double> d;
  if (tolerance > 0.0 && target.hasSurface() && base.size() == target.vertices().size()) {
    target.PairedDistancesFrom(m, base, d, threads);
    // The rest against the whole surface; when most are (another vertex
    // order), all of them, without copies.
    const double near = tolerance * target.size();
    const auto far_count = static_cast<std::size_t>(
        std::count_if(d.begin(), d.end(), [&](double x) { return !(x <= near); }));
    std::vector<std::size_t> far;
    std::vector<Vector3> queries;
    if (far_count > d.size() / 4) {
      target.DistancesFrom(m, base, d, threads);
    } else {
      far.reserve(far_count);
      queries.reserve(far_count);
      for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] <= near) continue;
        far.push_back(i);
        queries.push_back(base[i]);
      }
    }
    if (!far.empty()) {
      std::vector<double> exact;
      target.DistancesFrom(m, queries, exact, threads);
      for (std::size_t k = 0; k < far.size(); ++k) d[far[k]] = exact[k];
    }
  } else {
    target.DistancesFrom(m, base, d, threads);
  }
  if (distances != nullptr) *distances = d;
  r.surface = ComputeResidualStats(std::move(d), target.size());
  r.toSurface = target.hasSurface();
  const std::vector<Vector3>& w = target.vertices();
  if (w.size() == base.size()) {
    d.resize(base.size());
    ParallelRanges(base.size(), threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) d[i] = (TransformPoint(m, base[i]) - w[i]).norm();
    });
    r.paired = ComputeResidualStats(std::move(d), target.size());
  } else {
    r.paired.length = target.size();
  }
  return r;
}

Matrix4 ThreePointMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  return ThreePointFit(base, moved).matrix;
}

ThreePoint ThreePointRule(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  ReferenceIndices rb, rm;
  if (base.size() == moved.size()) {
    // Vertex k of one mesh is vertex k of the other: the base alone chooses.
    rb = FarthestPointByAxis(base, ReferenceIndices{});
    rm = rb;
  } else {
    rb = FarthestPointExhaustive(base);
    rm = FarthestPointExhaustive(moved);
  }
  const auto usable = [](const ReferenceIndices& r, std::size_t n) {
    const auto in = [n](std::int32_t i) { return i >= 0 && static_cast<std::size_t>(i) < n; };
    return r.a != r.b && r.b != r.c && r.c != r.a && in(r.a) && in(r.b) && in(r.c);
  };
  if (!usable(rb, base.size()) || !usable(rm, moved.size()))
    Refuse(text::Reason::no_reference_triangle);
  const auto at = [](const std::vector<Vector3>& v, std::int32_t i) {
    return v[static_cast<std::size_t>(i)];
  };
  const ReferenceTriangles t{at(base, rb.a),  at(base, rb.b),  at(base, rb.c),
                             at(moved, rm.a), at(moved, rm.b), at(moved, rm.c)};
  return ThreePoint{rb, rm, AnalyzeTriangles(t).matrix};
}

ThreePoint ThreePointFit(const std::vector<Vector3>& base, const std::vector<Vector3>& moved) {
  CheckVertices(base, text::MeshRole::base);
  CheckVertices(moved, text::MeshRole::moved);
  return ThreePointRule(base, moved);
}

Matrix4 LeastSquaresMotion(const std::vector<Vector3>& base, const std::vector<Vector3>& moved,
                           double trim) {
  CheckVertices(base, text::MeshRole::base);
  CheckVertices(moved, text::MeshRole::moved);
  if (base.size() != moved.size()) {
    throw Error(text::Refusal{
        text::Reason::pairs_need_same_count, text::MeshRole::none, {base.size(), moved.size()}});
  }
  if (!(trim >= 0.0 && trim <= 0.5)) Refuse(text::Reason::trim_out_of_range);
  Matrix4 m = SolveMasked(base, moved, {}, base.size());
  const std::size_t keep = KeptCount(base.size(), trim);
  if (keep < base.size() && m.matrix().allFinite()) {
    std::vector<double> d(base.size());
    for (std::size_t i = 0; i < base.size(); ++i)
      d[i] = (TransformPoint(m, base[i]) - moved[i]).norm();
    m = SolveMasked(base, moved, KeepSmallest(d, keep), keep);
  }
  if (!m.matrix().allFinite()) Refuse(text::Reason::least_squares_not_finite);
  return m;
}

namespace {

// Whether the moved mesh is a mirror image of the base. With equal counts the
// pairs tell: a reflection carries them within tolerance where no turn did.
// Otherwise, when no turn fits (`fits_surface` false), the shapes do: the same
// distances from the centroid, principal frames of opposite handedness. A mesh
// that a turn fits is its own mirror image as far as the surface can tell.
bool MirrorImage(const std::vector<Vector3>& base, const FitTarget& target, const Residuals& r,
                 const FitOptions& options, bool fits_surface) {
  const std::vector<Vector3>& w = target.vertices();
  const double tolerance = options.tolerance;
  if (base.size() == w.size() && !(r.paired.p95Relative <= tolerance)) {
    // The reflection, uniform scale and shift that carry base[i] onto w[i]
    // as closely as squares go.
    const Matrix4 m = PairMotion(base, w, {}, base.size(), false);
    if (m.linear().determinant() < 0.0) {
      std::vector<double> d(base.size());
      for (std::size_t i = 0; i < base.size(); ++i)
        d[i] = (TransformPoint(m, base[i]) - w[i]).norm();
      if (Percentile95(std::move(d)) <= tolerance * target.size()) return true;
    }
  }
  return !fits_surface && RadiiAgree(base, w, target.size(), tolerance) &&
         Handedness(base, tolerance) * Handedness(w, tolerance) < 0;
}

// EvaluateMotion with the base's Spread already known (a pass over it saved).
FitResult Evaluate(const std::vector<Vector3>& base, double base_spread, const FitTarget& target,
                   const Matrix4& m, const FitOptions& options) {
  FitResult r;
  r.matrix = m;
  std::vector<double> d;
  r.residuals = MeasureResiduals(base, target, m, options.threads, &d, options.tolerance);
  r.scaleRatio = ScaleOf(m) * base_spread / target.spread();
  const double size = target.size();
  const double near = options.tolerance * size;
  std::size_t within = 0;
  for (const double x : d) {
    if (x <= near) {
      ++within;
    } else {
      ++r.outliers;
      r.largestOutlier = std::max(r.largestOutlier, x);
    }
  }
  r.overlap = d.empty() ? 0.0 : static_cast<double>(within) / static_cast<double>(d.size());
  // A trim the caller chose judges the copy on the part it keeps (a partial copy);
  // ICP's own trim only steadies its steps.
  r.judgedP95Relative = r.residuals.surface.p95Relative;
  if (options.trim && *options.trim > 0.0 && !d.empty()) {
    r.judgedShare = 1.0 - *options.trim;
    const std::size_t keep = KeptCount(d.size(), *options.trim);
    std::vector<double> kept(d);
    std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(keep - 1),
                     kept.end());
    kept.resize(keep);
    r.judgedP95Relative = size > 0.0 ? Percentile95(std::move(kept)) / size : 0.0;
  }
  if (options.keepDistances) r.distances = std::move(d);
  if (MirrorImage(base, target, r.residuals, options, r.judgedP95Relative <= options.tolerance)) {
    r.shortfall = Shortfall::mirror_image;
  } else if (!(r.judgedP95Relative <= options.tolerance)) {
    r.shortfall = Shortfall::residual;
  } else if (!ScaleConsistent(r.scaleRatio)) {
    r.shortfall = Shortfall::scale;
  } else {
    r.shortfall = Shortfall::none;
  }
  r.fits = r.shortfall == Shortfall::none;
  const std::vector<Vector3>& w = target.vertices();
  if (base.size() != w.size()) {
    r.likelyCause = LikelyCause::vertices_added_or_removed;
  } else if (r.fits) {
    r.likelyCause = r.residuals.paired.p95Relative <= options.tolerance
                        ? LikelyCause::none
                        : LikelyCause::vertex_order_differs;
  } else {
    r.likelyCause = SameShapeIgnoringOrder(base, w, target.size(), options.tolerance)
                        ? LikelyCause::vertex_order_differs
                        : LikelyCause::not_a_similar_copy;
  }
  return r;
}

}  // namespace

void JudgeAmbiguity(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options, FitResult& r) {
  r.ambiguous = false;
  r.alternatives.clear();
  // With equal counts, pairs that fit pin the motion down.
  if (!r.fits ||
      (r.residuals.paired.count > 0 && r.residuals.paired.p95Relative <= options.tolerance)) {
    return;
  }
  const double apart = options.tolerance * target.size();
  const std::size_t step = std::max<std::size_t>(1, base.size() / 4096);
  // Two motions differ when they put some base vertex more than the tolerance apart.
  const auto differ = [&](const Matrix4& a, const Matrix4& b) {
    for (std::size_t i = 0; i < base.size(); i += step) {
      if ((TransformPoint(a, base[i]) - TransformPoint(b, base[i])).norm() > apart) return true;
    }
    return false;
  };
  FitOptions quiet = options;
  quiet.keepDistances = false;
  const double base_spread = Spread(base);
  // A few thousand vertices weed out the candidates that plainly miss before a full measure.
  std::vector<Vector3> sample;
  for (std::size_t i = 0; i < base.size(); i += step) sample.push_back(base[i]);
  std::vector<double> d;
  for (const Matrix4& c : r.candidates) {
    if (!differ(c, r.matrix)) continue;
    bool seen = false;
    for (const Alternative& a : r.alternatives) seen = seen || !differ(c, a.matrix);
    if (seen) continue;
    target.DistancesFrom(c, sample, d, options.threads);
    if (options.trim && *options.trim > 0.0) {
      // Judged on the share kept, as the verdict is.
      const std::size_t keep = KeptCount(d.size(), *options.trim);
      std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(keep - 1), d.end());
      d.resize(keep);
    }
    if (!(Percentile95(d) <= 10.0 * apart)) continue;
    const FitResult e = Evaluate(base, base_spread, target, c, quiet);
    if (e.fits) r.alternatives.push_back({c, e.residuals});
  }
  r.ambiguous = !r.alternatives.empty();
}

FitResult EvaluateMotion(const std::vector<Vector3>& base, const FitTarget& target,
                         const Matrix4& m, const FitOptions& options) {
  CheckOptions(options);
  return Evaluate(base, Spread(base), target, m, options);
}

const char* FitName(FitKind kind) {
  switch (kind) {
    case FitKind::automatic:
      return "auto";
    case FitKind::three_point:
      return "three-point";
    case FitKind::least_squares:
      return "least-squares";
    case FitKind::icp:
      return "icp";
  }
  return "auto";
}

std::optional<FitKind> FitByName(std::string_view name) {
  for (const FitKind k : kFitKinds) {
    if (name == FitName(k)) return k;
  }
  return std::nullopt;
}

namespace {

FitResult Fitted(FitResult r, FitKind kind, std::vector<FitKind> tried = {}) {
  r.kind = kind;
  r.tried = std::move(tried);
  return r;
}

FitResult IcpFit(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                 const FitTarget& target, const FitOptions& options);

// Whether a motion plainly misses, judged on a few thousand base vertices
// before the full measure: one that fits puts 95% of them within the
// tolerance, one that misses puts most of them far off the surface, where
// every query of it is slow. Pairs that land (equal counts) save the surface.
bool PlainlyMisses(const std::vector<Vector3>& base, const FitTarget& target, const Matrix4& m,
                   const FitOptions& o) {
  constexpr std::size_t kSample = 4096;
  constexpr double kNear = 10.0;  // tolerances
  const std::size_t step = std::max<std::size_t>(1, base.size() / kSample);
  const double near = kNear * o.tolerance * target.size();
  const std::vector<Vector3>& w = target.vertices();
  std::vector<Vector3> sample;
  std::size_t landed = 0;
  for (std::size_t i = 0; i < base.size(); i += step) {
    sample.push_back(base[i]);
    if (w.size() == base.size() && (TransformPoint(m, base[i]) - w[i]).norm() <= near) ++landed;
  }
  if (2 * landed >= sample.size()) return false;
  std::vector<double> d;
  target.DistancesFrom(m, sample, d, o.threads);
  landed = static_cast<std::size_t>(
      std::count_if(d.begin(), d.end(), [&](double x) { return x <= near; }));
  return 2 * landed < sample.size();
}

// The cheapest fit that fits: the three-point motion, then least squares on
// equal counts, then ICP (which starts from the three-point motion).
FitResult AutomaticFit(const std::vector<Vector3>& base, const TrianglesSource& triangles,
                       const FitTarget& target, const FitOptions& options) {
  const std::vector<Vector3>& w = target.vertices();
  FitOptions o = options;
  std::vector<FitKind> tried;
  if (!o.start) {
    try {
      o.start = ThreePointMotion(base, w);
    } catch (const Error& e) {
      // Meshes without a reference triangle may still be fitted by the others.
      if (e.kind() != Error::Kind::refused) throw;
    }
  }
  // Each try is measured in full only when a sample does not plainly miss.
  const auto fitting = [&](const Matrix4& m) -> std::optional<FitResult> {
    if (PlainlyMisses(base, target, m, o)) return std::nullopt;
    FitResult r = EvaluateMotion(base, target, m, o);
    if (!r.fits) return std::nullopt;
    return r;
  };
  if (o.start) {
    if (std::optional<FitResult> r = fitting(*o.start))
      return Fitted(std::move(*r), FitKind::three_point);
    tried.push_back(FitKind::three_point);
  }
  if (base.size() == w.size()) {
    std::optional<FitResult> r =
        fitting(LeastSquaresMotion(base, w, o.TrimFor(FitKind::least_squares)));
    // A few edited vertices pull the plain solve off: left out, the rest decide.
    if (!r && !o.trim) r = fitting(LeastSquaresMotion(base, w, kDefaultIcpTrim));
    if (r) return Fitted(std::move(*r), FitKind::least_squares, std::move(tried));
    tried.push_back(FitKind::least_squares);
  }
  FitResult r = IcpFit(base, triangles, target, o);
  JudgeAmbiguity(base, target, o, r);
  return Fitted(std::move(r), FitKind::icp, std::move(tried));
}

}  // namespace

FitResult FitMotion(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options) {
  return FitMotion(base, TrianglesSource(), target, options);
}

FitResult FitMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                    const FitTarget& target, const FitOptions& options) {
  return FitMotion(
      base, [&]() -> const std::vector<Triangle>& { return baseTriangles; }, target, options);
}

FitResult FitMotion(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                    const FitTarget& target, const FitOptions& options) {
  CheckOptions(options);
  CheckVertices(base, text::MeshRole::base);
  const std::vector<Vector3>& w = target.vertices();
  switch (options.kind) {
    case FitKind::automatic:
      return AutomaticFit(base, baseTriangles, target, options);
    case FitKind::three_point:
      return Fitted(
          EvaluateMotion(base, target, options.start ? *options.start : ThreePointMotion(base, w),
                         options),
          FitKind::three_point);
    case FitKind::least_squares:
      return Fitted(
          EvaluateMotion(base, target,
                         LeastSquaresMotion(base, w, options.TrimFor(FitKind::least_squares)),
                         options),
          FitKind::least_squares);
    case FitKind::icp:
      break;
  }
  FitResult r = IcpFit(base, baseTriangles, target, options);
  JudgeAmbiguity(base, target, options, r);
  return Fitted(std::move(r), FitKind::icp);
}

namespace {

FitResult IcpFit(const std::vector<Vector3>& base, const TrianglesSource& source,
                 const FitTarget& target, const FitOptions& options) {
  static const std::vector<Triangle> kNone;
  const std::vector<Triangle>& triangles = source ? source() : kNone;
  for (const Triangle& t : triangles) {
    if (t[0] >= base.size() || t[1] >= base.size() || t[2] >= base.size())
      Refuse(text::Reason::index_missing_vertex, text::MeshRole::base);
  }
  std::optional<Matrix4> start = options.start;
  if (!start) {
    try {
      start = ThreePointMotion(base, target.vertices());
    } catch (const Error&) {
      // No usable reference triangle: the other starts remain.
    }
  }
  IcpSearch search = SearchMotion(base, triangles, target, start, options);
  FitResult r = Evaluate(base, Spread(base), target, search.motions.front(), options);
  r.iterations = search.iterations;
  r.starts = search.starts;
  r.hitIterationLimit = search.hitIterationLimit;
  r.candidates = std::move(search.motions);
  return r;
}

}  // namespace

MotionParts DecomposeMotion(const Matrix4& m) {
  MotionParts p;
  p.translation = m.translation();
  const Eigen::Matrix3d l = m.linear();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(l, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d r = svd.matrixU() * svd.matrixV().transpose();
  double s = svd.singularValues().mean();
  // In three dimensions -R is proper when R is not: a mirror is a negative scale.
  if (r.determinant() < 0.0) {
    r = -r;
    s = -s;
  }
  p.scale = s;
  // Through the quaternion, which stays accurate near 0 and 180 degrees.
  const Eigen::AngleAxisd aa(r);
  p.angleDegrees = aa.angle() * (180.0 / kPi);
  if (aa.angle() != 0.0) p.axis = aa.axis().normalized();
  return p;
}

}  // namespace korvane::geometry
