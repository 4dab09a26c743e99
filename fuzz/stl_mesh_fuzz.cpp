// Any bytes as an STL file (binary or ASCII, as its content says): see mesh_file.h.
#include "mesh_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvane::fuzz::CheckMeshFile(data, size, "stl");
  return 0;
}
