#include "text/refusal.h"

#include <string>

#include "text/catalogue.h"

namespace korvane::text {
namespace {

const Phrase& Role(MeshRole mesh) { return mesh == MeshRole::moved ? kTheMovedMesh : kTheBaseMesh; }

// The words of the reasons that are one phrase; nullptr for the others.
const Phrase* Words(Reason r) {
  switch (r) {
    case Reason::base_ab_coincide:
      return &kBaseABCoincide;
    case Reason::moved_ab_coincide:
      return &kMovedABCoincide;
    case Reason::base_on_one_line:
      return &kBaseOnOneLine;
    case Reason::moved_on_one_line:
      return &kMovedOnOneLine;
    case Reason::result_not_finite:
      return &kResultNotFinite;
    case Reason::no_reference_triangle:
      return &kNoReferenceTriangle;
    case Reason::no_vertices:
      return &kHasNoVertices;
    case Reason::fewer_than_three_vertices:
      return &kHasFewerThanThreeVertices;
    case Reason::non_finite_coordinate:
      return &kHasNonFiniteCoordinate;
    case Reason::least_squares_not_finite:
      return &kLeastSquaresNotFinite;
    case Reason::tolerance_not_positive:
      return &kToleranceNotPositive;
    case Reason::trim_out_of_range:
      return &kTrimOutOfRange;
    case Reason::iteration_limit_negative:
      return &kIterationLimitNegative;
    case Reason::three_point_not_affine:
      return &kThreePointNotAffine;
    case Reason::index_no_points:
      return &kNoPoints;
    case Reason::index_too_many_vertices:
      return &kTooManyVertices;
    case Reason::index_no_triangles:
      return &kNoTriangles;
    case Reason::index_too_many_triangles:
      return &kTooManyTriangles;
    case Reason::index_missing_vertex:
      return &kMissingVertex;
    case Reason::all_on_one_line:
    case Reason::pairs_need_same_count:
      break;
  }
  return nullptr;
}

}  // namespace

Message Describe(const Refusal& r) {
  Message m;
  switch (r.reason) {
    case Reason::base_ab_coincide:
    case Reason::moved_ab_coincide:
    case Reason::base_on_one_line:
    case Reason::moved_on_one_line:
    case Reason::result_not_finite:
      // The reference triangles' own reasons stand alone: the commands add what was not done.
      return m.Say(*Words(r.reason));
    case Reason::index_no_points:
    case Reason::index_too_many_vertices:
    case Reason::index_no_triangles:
    case Reason::index_too_many_triangles:
    case Reason::index_missing_vertex:
      return m.Say(kCannotIndex).Say(*Words(r.reason));
    case Reason::no_vertices:
    case Reason::fewer_than_three_vertices:
    case Reason::non_finite_coordinate:
      return m.Say(kCannotFit).Say(Role(r.mesh)).Say(*Words(r.reason));
    case Reason::all_on_one_line:
      return m.Say(kCannotFit).Say(kAllVerticesOf).Say(Role(r.mesh)).Say(kLieOnOneLine);
    case Reason::pairs_need_same_count:
      return m.Say(kCannotFit)
          .Say(kPairsNeedSameCount)
          .Own(std::to_string(r.counts[0]))
          .Say(kPairsMovedCount)
          .Own(std::to_string(r.counts[1]))
          .Say(kPairsCountEnd);
    case Reason::no_reference_triangle:
    case Reason::least_squares_not_finite:
    case Reason::tolerance_not_positive:
    case Reason::trim_out_of_range:
    case Reason::iteration_limit_negative:
    case Reason::three_point_not_affine:
      return m.Say(kCannotFit).Say(*Words(r.reason));
  }
  return m;
}

}  // namespace korvane::text
