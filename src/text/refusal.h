// Why the geometry refused its input, as codes: the rooms that raise them
// say nothing themselves, and the words for every code are chosen in one
// place (Describe) from the catalogue, in both languages. Callers that answer
// a reason with words of their own (the exported commands' fixed texts) read
// the code.
#pragma once

#include <cstdint>

#include "text/message.h"

namespace korvane::text {

enum class Reason : std::uint8_t {
  // The three reference vertices of each mesh.
  base_ab_coincide,
  moved_ab_coincide,
  base_on_one_line,
  moved_on_one_line,
  result_not_finite,
  no_reference_triangle,  // the rule gives no three distinct vertices
  // A mesh given to a fit (Refusal::mesh says which).
  no_vertices,
  fewer_than_three_vertices,
  non_finite_coordinate,
  all_on_one_line,
  pairs_need_same_count,  // Refusal::counts: the base's and the moved mesh's vertices
  least_squares_not_finite,
  // A fit's options.
  tolerance_not_positive,
  trim_out_of_range,
  iteration_limit_negative,
  three_point_not_affine,
  // The nearest-point indexes.
  index_no_points,
  index_too_many_vertices,
  index_no_triangles,
  index_too_many_triangles,
  index_missing_vertex,
};

enum class MeshRole : std::uint8_t { none, base, moved };

struct Refusal {
  Reason reason;
  MeshRole mesh = MeshRole::none;
  std::uint64_t counts[2] = {0, 0};
};

// The sentence that tells the user about a refusal.
Message Describe(const Refusal& refusal);

}  // namespace korvane::text
