#include "obj/ply_mesh.h"

#include "text/error.h"

namespace korvane::obj {

void ReadPlyMesh(const std::string& path, Mesh&, bool) {
  throw Error(Error::Kind::refused,
              text::Message().Host(path).Own(" is a PLY file, which this build does not read"),
              path);
}

void ReplayPlyFile(const std::string& input, const std::string&, const geometry::Matrix4&,
                   const StreamOptions&, const ReplayStyle&, ReplayCounts*,
                   const std::function<void(const ReplayCounts&)>&) {
  throw Error(Error::Kind::refused,
              text::Message().Host(input).Own(" is a PLY file, which this build does not replay"),
              input);
}

}  // namespace korvane::obj
