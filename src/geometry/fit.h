// Fitting a motion: the base mesh onto its moved copy, by the fit the
// options name, with the evidence and the verdict. This is the room's public
// face; the pieces it wires are each a header of their own:
//   fit_options.h   what is asked: the fit, the tolerance, trim, limits, defaults
//   fit_target.h    the moved mesh and the correspondences a motion gives
//   residuals.h     how far a motion leaves the base's vertices
//   pair_solve.h    the one pair solve (Umeyama); least squares on vertex pairs
//   rejection.h     trimming: which pairs a solve or a verdict leaves out
//   convergence.h   when a refinement has settled
//   three_point.h   the three-point rule
//   triangle_match.h, start_search.h   proposals: matched triangles, starts
//   icp_loop.h, icp.h                  ICP runs and the search that ranks them
//   reverse.h       the copy's points measured back onto the moved base
//   mirror.h, judgement.h              the verdict, mirror images, ambiguity
//   fit_result.h    what a fit returns
//   motion_parts.h  a motion taken apart for reports
//
// Bad input is refused with korvane::Error (Kind::refused): a mesh with no
// vertex or fewer than three, a coordinate that is not finite, all vertices
// on one line, least squares between meshes of different vertex counts.
#pragma once

#include <functional>
#include <vector>

#include "geometry/fit_options.h"
#include "geometry/fit_result.h"
#include "geometry/fit_target.h"
#include "geometry/judgement.h"
#include "geometry/motion_parts.h"
#include "geometry/pair_solve.h"
#include "geometry/point_sets.h"
#include "geometry/residuals.h"
#include "geometry/reverse.h"
#include "geometry/three_point.h"

namespace korvane::geometry {

// Finds the motion by `options.kind` and reports how well it fits.
FitResult FitMotion(const std::vector<Vector3>& base, const FitTarget& target,
                    const FitOptions& options = {});
// The same, with the base's triangles: ICP then first matches them to the
// target's (a copy keeps the shapes of its triangles), which finds the
// motion of thin, flat and nearly symmetric parts that starts miss. A
// triangle referring to a vertex that does not exist is refused.
FitResult FitMotion(const std::vector<Vector3>& base, const std::vector<Triangle>& baseTriangles,
                    const FitTarget& target, const FitOptions& options = {});
// The base's triangles (TrianglesSource, reverse.h), asked for at most once,
// only when ICP runs or the copy's points are measured back onto the base.
FitResult FitMotion(const std::vector<Vector3>& base, const TrianglesSource& baseTriangles,
                    const FitTarget& target, const FitOptions& options = {});

}  // namespace korvane::geometry
