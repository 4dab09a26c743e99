// STL meshes, binary and ASCII: read for measuring, replayed in place.
#pragma once

#include <functional>
#include <string>

#include "geometry/geometry.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"

namespace korvane::obj {

// The triangles of `path` (binary when `binary`, else ASCII), their corners
// welded: a corner at exactly the position of an earlier one is its vertex,
// so vertices are numbered in the order they first appear.
void ReadStlMesh(const std::string& path, bool binary, Mesh& mesh,
                 const StreamOptions& options = {});

// Writes `input` moved by `m` to `output`: positions and facet normals (turned,
// unit length; a zero normal stays zero) change, every other byte stays (the
// header, the attribute bytes, the ASCII text around the numbers); under a
// mirror each facet's corners after the first are listed the other way round.
// Binary numbers stay float32. ASCII numbers keep the significant digits the
// input's carry, unless style.digitsChosen.
void ReplayStlFile(const std::string& input, bool binary, const std::string& output,
                   const geometry::Matrix4& m, const StreamOptions& options,
                   const ReplayStyle& style, ReplayCounts* counts,
                   const std::function<void(const ReplayCounts&)>& vet);

}  // namespace korvane::obj
