// PLY meshes and point clouds, ASCII and binary (either byte order): read for
// measuring, replayed in place.
#pragma once

#include <functional>
#include <string>

#include "geometry/geometry.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"

namespace korvane::obj {

// The "vertex" element's x, y, z in file order and, with `faces`, the "face"
// element's vertex lists as triangles (fanned). Other elements and
// properties are read past.
void ReadPlyMesh(const std::string& path, Mesh& mesh, bool faces,
                 const StreamOptions& options = {});

// Writes `input` moved by `m` to `output`: x, y, z and nx, ny, nz (turned,
// unit length) change, in their own types; under a mirror each face's list
// after its first vertex is turned round; every other byte stays (the
// header, other properties and elements). ASCII numbers keep the significant
// digits the input's carry, unless style.digitsChosen.
void ReplayPlyFile(const std::string& input, const std::string& output, const geometry::Matrix4& m,
                   const StreamOptions& options, const ReplayStyle& style, ReplayCounts* counts,
                   const std::function<void(const ReplayCounts&)>& vet);

}  // namespace korvane::obj
