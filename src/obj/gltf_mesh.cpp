#include "obj/gltf_mesh.h"

#include "text/error.h"

namespace korvane::obj {

// glTF comes in its own change; until then such files are refused by name.
void ReadGltfMesh(const std::string& path, bool, Mesh&, bool) {
  throw Error(Error::Kind::refused,
              text::Message().Host(path).Own(" is a glTF file, which this build does not read"),
              path);
}

void ReplayGltfFile(const std::string& input, bool, const std::string&, const geometry::Matrix4&,
                    const ReplayStyle&, ReplayCounts*,
                    const std::function<void(const ReplayCounts&)>&) {
  throw Error(Error::Kind::refused,
              text::Message().Host(input).Own(" is a glTF file, which this build does not replay"),
              input);
}

}  // namespace korvane::obj
