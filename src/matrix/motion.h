// The motion a replay uses: a matrix file read, checked and inverted when asked.
#pragma once

#include <string>

#include "geometry/geometry.h"

namespace korvane::matrix {

// The matrix file at `path` parsed, inverted when `inverse`; raises
// Error::Kind::cannot_open when the file cannot be opened. Refuses (korvane::Error, kind refused) a
// file that gives no coefficient at all, a matrix that is not finite, or one that cannot be
// inverted when the inverse is asked for.
geometry::Matrix4 LoadMotion(const std::string& path, bool inverse);

// The same for matrix text read from `source_name`.
geometry::Matrix4 MotionFromText(const std::string& text, const std::string& source_name,
                                 bool inverse);

// The same checks and inversion for a matrix given as numbers.
geometry::Matrix4 CheckedMotion(const geometry::Matrix4& m, const std::string& source_name,
                                bool inverse);

// The strict reading for the command-line host and the C++ interface (the DLL's commands keep
// LoadMotion): the file read by ReadMatrixFileStrict and held to CheckMotionShape, then inverted
// when `inverse`.
geometry::Matrix4 LoadMotionStrict(const std::string& path, bool inverse);

// Refuses, naming `source_name` (empty: a matrix given as numbers, no file), a matrix that cannot
// be a motion: coefficients that are not
// finite, a bottom row other than 0 0 0 1 (saying "transposed?" when it holds what looks like a
// shift and the right column is 0 0 0), or a linear part that is singular, |det| <= 1e-12 times
// the cube of its largest column's length, or whose scale (the cube root of |det|) lies outside
// kSmallestScale to kLargestScale.
inline constexpr double kSmallestScale = 1e-100;
inline constexpr double kLargestScale = 1e100;
void CheckMotionShape(const geometry::Matrix4& m, const std::string& source_name);

}  // namespace korvane::matrix
