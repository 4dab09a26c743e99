// Binary float32 records moved four at a time: the same arithmetic, in the
// same order, as MeshMotion one record at a time, so the same bytes, in
// less time (with AVX where the processor has it). x86 only, as the builds are.
#pragma once

#include <cstddef>
#include <string>

#include "obj/mesh_io.h"

namespace korvane::obj {

// Where a record's float32 values are (byte offsets in the record): up to
// three positions (a binary STL facet's corners) and maybe a normal.
struct FloatRecords {
  std::size_t stride = 0;
  std::size_t points = 1;
  std::size_t position[3][3] = {{0, 4, 8}, {0, 4, 8}, {0, 4, 8}};
  bool normals = false;
  std::size_t normal[3] = {0, 4, 8};
  bool big = false;
  bool swapCorners = false;  // three points: the second and third change places
};

// Moves the `count` records at `data` in place: positions by the motion,
// normals turned and unit length (a zero normal stays). Throws as the
// replays do (ThrowCarriedOutOfRange, no line) when a finite position
// leaves float range.
void MoveFloatRecords(unsigned char* data, std::size_t count, const FloatRecords& layout,
                      const MeshMotion& motion, const std::string& path);

// The same for `count` binary STL facets (50 bytes: the normal, three
// corners, two attribute bytes); under a mirror the second and third
// corners change places.
void MoveStlFacets(unsigned char* data, std::size_t count, const MeshMotion& motion,
                   const std::string& path);
FloatRecords StlFacetLayout(bool mirrors);

// False keeps to the SSE2 build of the loops where AVX is there: for tests,
// which check both.
void AllowAvxForRecords(bool allow);

}  // namespace korvane::obj
