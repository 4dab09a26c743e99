// The mesh formats the library reads and replays, told apart by what a file
// holds (its extension only settles what the bytes leave open), and the one
// place every host measures and replays through. A file that is not a mesh
// format of ours is refused by name, never read as if it were OBJ.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "geometry/geometry.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"
#include "text/message.h"

namespace korvane::obj {

enum class MeshFormat : std::uint8_t {
  obj,
  stl_binary,
  stl_ascii,
  ply,
  gltf,  // JSON, with its buffers in other files or data: URIs
  glb,   // binary glTF
  unknown,
};

struct DetectedFormat {
  MeshFormat format = MeshFormat::unknown;
  // With MeshFormat::unknown: what the file looks like, for the refusal
  // ("an FBX file", "a ZIP archive (3MF?)", "binary data").
  text::Phrase looksLike{"", ""};
};

// "OBJ", "binary STL", "ASCII STL", "PLY", "glTF", "GLB" or "unknown".
const char* MeshFormatName(MeshFormat format);
// The same name as the user reads it, in either language.
text::Phrase MeshFormatWords(MeshFormat format);

// The format of a file whose first bytes are `head` (as many as there are, up
// to kDetectBytes), whose size is `size` bytes, named `path` (for its
// extension). Text that is none of the others is OBJ; so is an empty file.
inline constexpr std::size_t kDetectBytes = 4096;
DetectedFormat DetectMeshFormat(std::string_view head, std::uint64_t size, std::string_view path);
// The same for a file on disk; Error::Kind::cannot_open when it cannot be opened.
DetectedFormat DetectMeshFile(const std::string& path);

// The format of `path`, or Error::Kind::refused naming what it looks like.
MeshFormat CheckedMeshFormat(const std::string& path);

// Reads the mesh in `path`, whatever its format: the vertices in file order
// (STL: corners at exactly equal positions welded, in the order they first
// appear), and with `faces` the triangles (polygons fanned). OBJ is read as
// LoadObjMesh / LoadObjVertices read it, on options.threads threads; `skipped`,
// when given, receives the OBJ face lines left out.
void ReadMesh(const std::string& path, Mesh& mesh, bool faces, const StreamOptions& options = {},
              SkippedFaces* skipped = nullptr);
Mesh ReadMesh(const std::string& path);
// The triangles alone, or an evenly spread sample of at least `most` of them.
void ReadMeshTriangles(const std::string& path, std::vector<geometry::Triangle>& triangles,
                       std::size_t most = static_cast<std::size_t>(-1));

// Refuses (Error::Kind::refused) an output whose name ends in another format's
// extension than the input's: a replay never converts. A name without an
// extension, standard output and a directory are taken as they are.
void CheckOutputFormat(const std::string& input, MeshFormat format, const std::string& output);

// Replays the motion `m` on the mesh in `input`, written to `output` in the
// same format: positions and normals moved, every other byte as it was (OBJ:
// as TransformObjFile writes it). `counts`, `style` and `vet` as for
// TransformObjFile; the output replaces `output` only when complete and never
// when `input` is not a mesh of ours or the output names another format.
void ReplayMeshFile(const std::string& input, const std::string& output, const geometry::Matrix4& m,
                    const StreamOptions& options = {}, ReplayCounts* counts = nullptr,
                    const ReplayStyle& style = {},
                    const std::function<void(const ReplayCounts&)>& vet = {});

}  // namespace korvane::obj
