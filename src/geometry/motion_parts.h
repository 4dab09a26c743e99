// A motion taken apart for reports.
#pragma once

#include "geometry/geometry.h"

namespace korvane::geometry {

// What a matrix is, to rounding: a turn and a shift, with a uniform scale too,
// or anything else a 3x3 part can do (stretches along axes, shear).
enum class MotionKind { rigid, similarity, affine };
// "rigid", "similarity" or "affine".
const char* MotionKindName(MotionKind kind);

// Any motion taken apart for reports, in two readings of its 3x3 part A:
//
//   m = Translation(translation) * AngleAxis(angle, axis) * S, with
//   S = sum of stretches[i] * axes.col(i) * axes.col(i)^T (A = R S, the polar
//   decomposition: R proper, S symmetric). `scale` is the mean stretch, so a
//   similarity reads as Translation * AngleAxis * Scaling(scale). A mirroring
//   matrix has R proper and every stretch negative (the scale too): a mirror
//   is a half turn and the point reflection -1.
//
//   A = Q * K * H (Gram-Schmidt on A's columns): Q orthogonal, K diagonal, H
//   the shear [1 xy xz; 0 1 yz; 0 0 1], which moves x by xy * y + xz * z and
//   y by yz * z before the scaling along x, y, z and the turn. Zero shear
//   means the base's own x, y and z stay at right angles.
struct MotionParts {
  double scale = 1.0;
  Vector3 axis = Vector3::UnitX();  // unit; x for a zero angle
  double angleDegrees = 0.0;        // in [0, 180]
  Vector3 translation = Vector3::Zero();
  MotionKind kind = MotionKind::rigid;
  bool mirror = false;  // the determinant is negative
  // Largest magnitude first; each axis unit, its largest coordinate positive.
  // Equal stretches share a plane (or all of space) in which any axes would
  // do: there the ones nearest the coordinate axes are taken.
  Vector3 stretches = Vector3::Ones();
  Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();  // column i goes with stretches[i]
  Vector3 shear = Vector3::Zero();  // xy, xz, yz; zero for similarities and below kUniformStretch
};
MotionParts DecomposeMotion(const Matrix4& m);

// Stretches whose magnitudes differ by no more than this share, and
// magnitudes this close to 1, count as equal: a matrix file's fifteen digits
// and a fit's rounding leave far less, any real stretch far more.
inline constexpr double kUniformStretch = 1e-9;

}  // namespace korvane::geometry
