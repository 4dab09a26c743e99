// Affine starts that need no similarity to fit: a stretched copy, each point
// set scaled to unit variance along every direction, is the base so scaled,
// turned. Its turn is read from a frame of higher moments.
#pragma once

#include <vector>

#include "geometry/geometry.h"

namespace korvane::geometry {

// Affine motions carrying `base` onto `target` as their second moments say:
// the frames' sign choices that turn properly (`mirrored`: improperly), best
// guesses first. Empty when either set is flat or has too few points, where
// no such motion is determined.
std::vector<Matrix4> WhitenedStarts(const std::vector<Vector3>& base,
                                    const std::vector<Vector3>& target, bool mirrored);

}  // namespace korvane::geometry
