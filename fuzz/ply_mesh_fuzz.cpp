// Any bytes as a PLY file (ASCII or binary, either byte order): see mesh_file.h.
#include "mesh_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvane::fuzz::CheckMeshFile(data, size, "ply");
  return 0;
}
