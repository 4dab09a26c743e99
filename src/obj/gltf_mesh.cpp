#include "obj/gltf_mesh.h"

#include <memory>

#include "obj/gltf.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/gltf_words.h"

namespace korvane::obj {
namespace {

std::string Bytes(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) text::ThrowCannotOpen(path);
  return bytes;
}

[[noreturn]] void Refuse(const std::string& path, const text::Message& what) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Append(what), path);
}

std::string FolderKey(const std::string& path) {
  const std::size_t cut = path.find_last_of(platform::kIsWindows ? "/\\" : "/");
  return platform::FileKey(cut == std::string::npos ? "." : path.substr(0, cut + 1));
}

}  // namespace

void ReadGltfMesh(const std::string& path, bool, Mesh& mesh, bool) {
  ReadGltf(Bytes(path), path, mesh);
}

void ReplayGltfFile(const std::string& input, bool, const std::string& output,
                    const geometry::Matrix4& m, const ReplayStyle& style, ReplayCounts* counts,
                    const std::function<void(const ReplayCounts&)>& vet) {
  const GltfReplay r =
      TransformGltf(Bytes(input), input, output, m,
                    style.sceneNodes ? GltfMotionTarget::nodes : GltfMotionTarget::vertices);
  if (!r.relativeReferences.empty() && output != platform::StandardOutputName() &&
      FolderKey(input) != FolderKey(output)) {
    Refuse(input, text::Message()
                      .Say(text::kGltfRefersTo)
                      .Host(r.relativeReferences.front())
                      .Say(text::kGltfRefersToEnd));
  }
  if (output == platform::StandardOutputName() && r.files.size() > 1) {
    Refuse(input, text::Message().Say(text::kGltfBuffersOwnFiles));
  }
  // Never over the input or a buffer it reads (the new buffer takes the output's name).
  std::vector<std::string> inputs = r.inputFiles;
  inputs.push_back(input);
  for (std::size_t i = 1; i < r.files.size(); ++i) {
    for (const std::string& in : inputs) {
      if (platform::FileKey(r.files[i].path) == platform::FileKey(in)) {
        Refuse(input, text::Message()
                          .Say(text::kGltfBufferWrittenTo)
                          .Host(r.files[i].path)
                          .Say(text::kGltfBufferWrittenToEnd));
      }
    }
  }
  ReplayCounts c;
  c.vertices = r.vertices;
  std::vector<std::unique_ptr<platform::AtomicOutput>> outs;
  for (const GltfOutput& f : r.files) {
    outs.push_back(std::make_unique<platform::AtomicOutput>(f.path));
    outs.back()->Write(f.bytes);
  }
  if (vet) vet(c);
  // The buffers first: the document that names them is the last to appear.
  for (std::size_t i = outs.size(); i-- > 0;) outs[i]->Commit();
  if (counts != nullptr) *counts = c;
}

}  // namespace korvane::obj
