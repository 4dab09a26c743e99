// The last steps: a motion the search settled on, taken to the optimum the
// data allows. The search stops once a step moves the mesh by less than a
// share of the pairs' scatter, which under noise is far coarser than what
// thousands of pairs can tell; these steps go on until the pairs stop
// changing.
#pragma once

#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_target.h"
#include "geometry/icp_loop.h"

namespace korvane::geometry {

// ICP from the other side: the copy's `points` onto the base's surface,
// from m's inverse, returned as the base's motion. Its scores are the
// copy's distances divided by the motion's scale (the base's units, as a
// run from the base's side); `convergence` and `cap` are lengths on the base.
Run RunOntoBase(const std::vector<Vector3>& points, const FitTarget& baseSurface, const Matrix4& m,
                double trim, int max_iterations, double convergence, double cap, Freedom freedom,
                unsigned threads);

// From m, one of two optimums, each kept only when it fits the surface about
// as well as m does. The surface is the target's, or, for a copy without
// one (a scan, a point cloud), `baseSurface`'s (the base with its
// triangles, or null): the copy's points onto it.
//  - the pair solve on each sample point's nearest target vertex, with
//    robust weights, repeated until the pairing repeats: least squares on the
//    true pairs when the copy keeps the base's vertices (noisy, shuffled,
//    cut); taken when the pairs lie about as close as the surface does
//    (otherwise they are a scan's or a remesh's neighbours, off along the
//    surface), and always when there is no surface;
//  - otherwise point-to-plane steps with scale on the surface until they
//    stop moving.
// `trim` leaves out the worst pairs of each solve, as in the search.
Matrix4 PolishMotion(const std::vector<Vector3>& sample, const FitTarget& target,
                     const FitTarget* baseSurface, const Matrix4& m, double trim,
                     int max_iterations, Freedom freedom, unsigned threads);

}  // namespace korvane::geometry
