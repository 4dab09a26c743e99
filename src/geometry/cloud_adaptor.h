// A point array as nanoflann's k-d trees read it (no bounding box given:
// the tree measures its own). Keeps a pointer: the array must outlive the tree.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::geometry {

struct CloudAdaptor {
  const std::vector<Vector3>* points;
  std::size_t kdtree_get_point_count() const { return points->size(); }
  template <class I, class D>
  double kdtree_get_pt(I i, D dim) const {
    return (*points)[static_cast<std::size_t>(i)][static_cast<Eigen::Index>(dim)];
  }
  template <class B>
  bool kdtree_get_bbox(B&) const {
    return false;
  }
};

}  // namespace korvane::geometry
