#include "geometry/reverse.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "geometry/point_sets.h"
#include "text/error.h"

namespace korvane::geometry {

struct ReverseMeasure::Shared {
  const std::vector<Vector3>* base = nullptr;
  TrianglesSource triangles;
  unsigned threads = 0;
  std::vector<Vector3> verdict;
  std::vector<Vector3> screen;
  bool copySurface = false;
  std::once_flag built;
  std::unique_ptr<FitTarget> index;
};

ReverseMeasure::ReverseMeasure(const std::vector<Vector3>& base, TrianglesSource triangles,
                               const FitTarget& target, unsigned threads)
    : shared_(std::make_shared<Shared>()) {
  shared_->base = &base;
  shared_->triangles = std::move(triangles);
  shared_->threads = threads;
  shared_->copySurface = target.hasSurface();
  const std::vector<Vector3>& w = target.vertices();
  shared_->verdict = Subsample(w, kReverseVerdict);
  shared_->screen = Subsample(w, kReverseScreen);
}

ReverseMeasure::~ReverseMeasure() = default;

ReverseMeasure ReverseMeasure::After(const Matrix4& pre) const {
  ReverseMeasure r;
  r.shared_ = shared_;
  r.pre_ = pre_ * pre;
  r.pre_.makeAffine();
  return r;
}

const FitTarget& ReverseMeasure::Base() const {
  Shared& s = *shared_;
  std::call_once(s.built, [&] {
    static const std::vector<Triangle> kNone;
    const std::vector<Triangle>& t = s.triangles ? s.triangles() : kNone;
    for (const Triangle& c : t) {
      if (c[0] >= s.base->size() || c[1] >= s.base->size() || c[2] >= s.base->size())
        throw Error(text::Refusal{text::Reason::index_missing_vertex, text::MeshRole::base});
    }
    s.index = std::make_unique<FitTarget>(*s.base, t, s.threads);
  });
  return *s.index;
}

bool ReverseMeasure::ToSurface() const { return Base().hasSurface(); }

bool ReverseMeasure::Applies() const { return ToSurface() || !shared_->copySurface; }

void ReverseMeasure::Measure(const Matrix4& motion, const std::vector<Vector3>& points,
                             std::vector<double>& out) const {
  Matrix4 m = motion * pre_;
  m.makeAffine();
  const double det = m.linear().determinant();
  if (!(std::isfinite(det) && det != 0.0) || !m.matrix().allFinite()) {
    out.assign(points.size(), std::numeric_limits<double>::infinity());
    return;
  }
  Matrix4 back = m.inverse(Eigen::Affine);
  back.makeAffine();
  std::vector<Vector3> queries(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) queries[i] = TransformPoint(back, points[i]);
  std::vector<Vector3> closest;
  const unsigned threads = shared_->threads;
  Base().Closest(queries, closest, threads);
  out.resize(points.size());
  // Carried forward again, so the distance is the copy's, whatever the motion's scale.
  ParallelRanges(points.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      out[i] = (points[i] - TransformPoint(m, closest[i])).norm();
  });
}

void ReverseMeasure::Distances(const Matrix4& m, std::vector<double>& out) const {
  Measure(m, shared_->verdict, out);
}

void ReverseMeasure::ScreenDistances(const Matrix4& m, std::vector<double>& out) const {
  Measure(m, shared_->screen, out);
}

}  // namespace korvane::geometry
