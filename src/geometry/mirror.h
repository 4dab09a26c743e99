// The mirror check: whether the moved mesh is a mirror image of the base,
// which no turn carries it onto, and whether two vertex sets have the same
// shape whatever their order (to tell another vertex order from another mesh).
#pragma once

#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_target.h"
#include "geometry/residuals.h"

namespace korvane::geometry {

// Only when no turn fits (`fits_surface` false): a mesh that a turn fits is
// its own mirror image as far as the surface can tell, whatever its vertex
// order. Then with equal counts the pairs tell: a reflection carries them
// within tolerance. Otherwise the shapes do: the same distances from the
// centroid, principal frames of opposite handedness.
bool MirrorImage(const std::vector<Vector3>& base, const FitTarget& target, const Residuals& r,
                 const FitOptions& options, bool fits_surface);

// Principal frames not of the same handedness (opposite, or either not
// determined): b may be a mirror image of a, though vertices removed may hide
// it from the centroid distances.
bool MayBeMirrorImage(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                      double tolerance);

// The same sorted distances from the centroid (after scaling) and the same
// handedness of the principal frames: similar copies in any vertex order.
bool SameShapeIgnoringOrder(const std::vector<Vector3>& a, const std::vector<Vector3>& b,
                            double size, double tolerance);

}  // namespace korvane::geometry
