// glTF 2.0 meshes: a .gltf file with its buffers (other files beside it or
// data: URIs) and a .glb file, read for measuring and replayed in place.
#pragma once

#include <functional>
#include <string>

#include "geometry/geometry.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"

namespace korvane::obj {

// Every triangle primitive of the default scene (else the first), in world
// space: node matrices and TRS applied, strips and fans as triangles, sparse
// accessors resolved. `binary`: the file is GLB. Vertices are those of each
// primitive in turn, in the order the scene's nodes list them; `faces`
// false may leave mesh.triangles empty. Raises korvane::Error naming the file
// (and what is wrong: a compressed primitive names its extension).
void ReadGltfMesh(const std::string& path, bool binary, Mesh& mesh, bool faces);

// Writes the glTF `input` moved by `m` to `output` (the same kind: GLB to
// GLB), replacing it only when complete: by default the motion is baked into
// POSITION (and NORMAL and TANGENT, turned by the inverse transpose, unit
// length; triangles reversed under a mirror), min/max updated and every other
// byte kept; with style.sceneNodes it goes into the root nodes of the scenes
// instead and no buffer changes. Refuses a mesh that nodes with different
// transforms share (bake) with a message that suggests --gltf-nodes.
// `counts` (when given) gets the vertices moved; `vet` sees them before the
// output is put in place, as for TransformObjFile.
void ReplayGltfFile(const std::string& input, bool binary, const std::string& output,
                    const geometry::Matrix4& m, const ReplayStyle& style, ReplayCounts* counts,
                    const std::function<void(const ReplayCounts&)>& vet);

}  // namespace korvane::obj
