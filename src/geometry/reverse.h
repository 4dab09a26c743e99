// The reverse measure: how far the copy's points lie from the moved base.
// Base vertices measured onto the copy do not see what the base leaves
// uncovered: a base shrunk onto part of the copy lands every vertex on it,
// and on a scan (random points on the moved surface, no faces) every motion
// near the truth leaves them a sampling spacing off. The copy's points
// measured back onto the moved base tell both.
//
// What it promises:
// - Each copy point q is carried back by the motion's inverse, paired with
//   the closest point c of the base (its surface when it has triangles, and
//   its vertices on no triangle; its vertices when it has none) and measured
//   as |q - m c|, in the copy's frame: exactly the distance to the moved base
//   for a similarity, never less than it for an affine motion.
// - A base without triangles measures only a copy without them (a point
//   cloud, whose points should be the base's): its vertices cannot tell how
//   far a copy's surface reaches between them (a copy with its triangles
//   split has points half an edge from any). Applies() says which.
// - The base's index is built once, on first use, on the caller's threads:
//   the triangles source is asked for then and not before (reading them may
//   cost a pass over a file), so a fit that never measures the reverse pays
//   nothing.
// - The copy's points are its vertices, evenly strided: at most
//   kReverseScreen for screening, kReverseVerdict for a verdict (a 1M-point
//   scan stays fast, and 50k points hold a 95th percentile steady). The same
//   points every time.
// - A motion that cannot be inverted (singular, not finite) leaves every
//   point infinitely far.
// - Keeps references: the base, the triangles the source gives and the
//   target must outlive it. Same bits for any thread count.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "geometry/fit_target.h"

namespace korvane::geometry {

// The base's triangles, asked for only when needed; the list must outlive
// the fit. An empty function or list: none.
using TrianglesSource = std::function<const std::vector<Triangle>&()>;

inline constexpr std::size_t kReverseScreen = 4096;
inline constexpr std::size_t kReverseVerdict = 50000;

class ReverseMeasure {
 public:
  ReverseMeasure(const std::vector<Vector3>& base, TrianglesSource triangles,
                 const FitTarget& target, unsigned threads = 0);
  ~ReverseMeasure();
  // The same measure for the base first moved by `pre` (its mirror image, say):
  // a motion m is measured as m * pre. Shares the index, built once.
  ReverseMeasure After(const Matrix4& pre) const;

  // out[i]: the distance of the verdict's i-th copy point from the base moved by m.
  void Distances(const Matrix4& m, std::vector<double>& out) const;
  // The same on the screening sample.
  void ScreenDistances(const Matrix4& m, std::vector<double>& out) const;
  // Whether the base is measured as a surface (it has triangles); builds the index.
  bool ToSurface() const;
  // Whether the copy is measured back at all (see above); builds the index.
  bool Applies() const;

 private:
  struct Shared;
  ReverseMeasure() = default;
  const FitTarget& Base() const;
  void Measure(const Matrix4& m, const std::vector<Vector3>& points,
               std::vector<double>& out) const;

  std::shared_ptr<Shared> shared_;
  Matrix4 pre_ = Matrix4::Identity();
};

}  // namespace korvane::geometry
