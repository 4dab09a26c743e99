#include "geometry/mirror.h"

#include <algorithm>
#include <cmath>

#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"

namespace korvane::geometry {
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

}  // namespace

bool SameShapeIgnoringOrder(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                            double size, double tolerance) {
  // The centroid distances cannot tell a mirror image; the handedness can.
  return RadiiAgree(a, b, size, tolerance) &&
         Handedness(a, tolerance) * Handedness(b, tolerance) >= 0;
}

bool MirrorImage(const std::vector<Vector3>& base, const FitTarget& target, const Residuals& r,
                 const FitOptions& options, bool fits_surface) {
  const std::vector<Vector3>& w = target.vertices();
  const double tolerance = options.tolerance;
  // A turn that fits the surface: the shape is its own mirror image (a
  // tetrahedron in another vertex order), whatever the pairs say.
  if (fits_surface) return false;
  if (base.size() == w.size() && !(r.paired.p95Relative <= tolerance)) {
    // The reflection, the model's scale and shift that carry base[i] onto
    // w[i] as closely as squares go.
    Freedom reflected = options.Solves();
    reflected.mirrored = true;
    const Matrix4 m = PairMotion(base, w, {}, base.size(), reflected);
    if (m.linear().determinant() < 0.0) {
      std::vector<double> d(base.size());
      for (std::size_t i = 0; i < base.size(); ++i)
        d[i] = (TransformPoint(m, base[i]) - w[i]).norm();
      if (Percentile95(std::move(d)) <= tolerance * target.size()) return true;
    }
  }
  return RadiiAgree(base, w, target.size(), tolerance) &&
         Handedness(base, tolerance) * Handedness(w, tolerance) < 0;
}

bool MayBeMirrorImage(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                      double tolerance) {
  return Handedness(a, tolerance) * Handedness(b, tolerance) <= 0;
}

}  // namespace korvane::geometry
