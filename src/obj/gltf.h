// glTF 2.0 meshes (.gltf with external or data: buffers, and .glb): read in
// world space for measuring, and replayed by editing only what the motion
// changes, so every other byte of the document and its buffers stays as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/geometry.h"
#include "obj/obj_mesh.h"

namespace korvane::obj {

// Reads a file the document refers to (an external buffer); false when it
// cannot be read.
using GltfFileReader = std::function<bool(const std::string& path, std::string& bytes)>;

// The reader used for files on disk (platform::ReadWholeFile).
GltfFileReader DiskFileReader();

// Every triangle primitive (lists, strips and fans) of the default scene in
// world space: the vertices of each instance of a mesh one after another, in
// the order the scene's nodes are walked (depth first, children in order).
// `path` names the file in messages and locates external buffers. Raises
// korvane::Error (refused) naming the file and the problem: a document that
// does not parse, data out of range, compressed primitives (the extension is
// named).
void ReadGltf(std::string_view bytes, const std::string& path, Mesh& mesh,
              const GltfFileReader& read = DiskFileReader());

enum class GltfMotionTarget {
  vertices,  // baked into POSITION, NORMAL and TANGENT (every viewer shows it)
  nodes,     // put into the default scene's root nodes; buffers untouched
};

// One file a replay writes.
struct GltfOutput {
  std::string path;
  std::string bytes;
};

struct GltfReplay {
  // `output` first, then (for a .gltf whose external buffers changed) the new
  // buffer files beside it, named after `output`.
  std::vector<GltfOutput> files;
  // The external files the input reads (its buffers): never to be written.
  std::vector<std::string> inputFiles;
  // URIs kept as they were that name files relative to the input's folder
  // (images, unchanged buffers): they hold only beside the input.
  std::vector<std::string> relativeReferences;
  std::uint64_t vertices = 0;  // the scene's triangle vertices, as measuring counts them
};

// The replayed document. Only POSITION, NORMAL and TANGENT data (and the
// triangles' winding under a mirror), the changed accessors' min/max, changed
// buffers' URIs and the GLB chunk lengths differ from the input, or, for
// `nodes`, the root nodes' transforms. Raises korvane::Error when the motion
// cannot be put where asked.
GltfReplay TransformGltf(std::string_view bytes, const std::string& input,
                         const std::string& output, const geometry::Matrix4& m,
                         GltfMotionTarget target, const GltfFileReader& read = DiskFileReader());
}  // namespace korvane::obj
