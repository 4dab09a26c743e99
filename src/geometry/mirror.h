// The mirror check: whether the moved mesh is a mirror image of the base,
// which no turn carries it onto, and whether two vertex sets have the same
// shape whatever their order (to tell another vertex order from another mesh).
#pragma once

#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_target.h"
#include "geometry/residuals.h"

namespace korvane::geometry {

// With equal counts the pairs tell: a reflection carries them within
// tolerance where no turn did. Otherwise, when no turn fits (`fits_surface`
// false), the shapes do: the same distances from the centroid, principal
// frames of opposite handedness. A mesh that a turn fits is its own mirror
// image as far as the surface can tell.
bool MirrorImage(const std::vector<Vector3>& base, const FitTarget& target, const Residuals& r,
                 const FitOptions& options, bool fits_surface);

// The same sorted distances from the centroid (after scaling) and the same
// handedness of the principal frames: similar copies in any vertex order.
bool SameShapeIgnoringOrder(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                            double size, double tolerance);

}  // namespace korvane::geometry
