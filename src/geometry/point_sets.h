// Summaries of a point set that every piece of the fit shares: where it is,
// how far it spreads, its principal frame, and whether it can be fitted at all.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/geometry.h"
#include "text/refusal.h"

namespace korvane::geometry {

// Refuses (korvane::Error, Kind::refused, naming mesh `which`) a mesh that no
// motion can be fitted to: no vertex or fewer than three, a coordinate that
// is not finite, all vertices on one line.
void CheckFittable(const std::vector<Vector3>& v, text::MeshRole which);

Vector3 Centroid(const std::vector<Vector3>& v);  // not empty
// Root mean square distance of the vertices from their centroid (not empty).
double Spread(const std::vector<Vector3>& v);
// Length of the diagonal of the axis-aligned box around `v` (0 when empty).
double BoundingDiagonal(const std::vector<Vector3>& v);
// The uniform scale of a similarity: the cube root of |det| of its linear part.
double ScaleOf(const Matrix4& m);
// Every `stride`-th vertex, at most `limit` of them.
std::vector<Vector3> Subsample(const std::vector<Vector3>& v, std::size_t limit);

// A point set is flat (a plate, a sheet) across a direction along which its
// variance is at most this share of its largest: an affine map cannot be
// measured across it, rounding would decide it.
inline constexpr double kFlatVariance = 1e-8;

struct Frame {
  Vector3 centroid;
  Eigen::Matrix3d axes;  // eigenvectors of the covariance, as columns
  Vector3 variances;     // its eigenvalues, ascending
  double spread;         // trace of the covariance
};
Frame PrincipalFrame(const std::vector<Vector3>& v);

}  // namespace korvane::geometry
