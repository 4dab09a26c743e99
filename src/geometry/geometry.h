// Vocabulary types of the analysis: Eigen's own fixed-size types.
//   Vector3: x, y, z doubles.
//   Matrix4: affine transform acting on column vectors (x, y, z, 1); the
//   translation is column 3. Products and inverses compute from the linear
//   part and the translation only and reset row 3 to (0, 0, 0, 1).
#pragma once

#include <Eigen/Dense>
#include <Eigen/Geometry>

namespace korvane::geometry {

using Vector3 = Eigen::Vector3d;
using Matrix4 = Eigen::Affine3d;

inline constexpr double kPi = 3.141592653589793238462643383279502884;

// +1 when turning `a` towards `b` is a positive (right-handed) turn about
// `n`, otherwise -1 (also for parallel vectors, a zero `n` and NaN).
int CalcRotationSign(const Vector3& a, const Vector3& b, const Vector3& n);

// Identity with all sixteen coefficients assigned.
Matrix4 IdentityMatrix4();

// Image of p under m: rows 0 to 2 of m * (p, 1), summed left to right as
// ((m00*x + m01*y) + m02*z) + m03. Compiled once, out of line, so every caller
// gets the same bits (NaN signs included) however it was optimised.
Vector3 TransformPoint(const Matrix4& m, const Vector3& p);

// Largest distance between where motions a and b put a corner of `box`: how
// far apart two motions are over a mesh.
double CornerShift(const Eigen::AlignedBox3d& box, const Matrix4& a, const Matrix4& b);

}  // namespace korvane::geometry
