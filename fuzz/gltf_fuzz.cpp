// Any bytes as a glTF document (.glb when they start with its magic, .gltf
// otherwise); an external buffer reads the input itself. Reading either
// succeeds with every triangle inside the vertices, or raises korvane::Error
// naming the file. A replay by a translation, into the vertices and into the
// nodes, either is refused the same way or gives a document that reads back
// with as many vertices, each moved by the translation (float rounding
// aside); into the nodes, a GLB's chunks after the JSON stay byte for byte.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "obj/gltf.h"
#include "platform/platform.h"
#include "text/error.h"

namespace {

using korvane::Error;
namespace obj = korvane::obj;

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "gltf_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

void CheckError(const Error& e, const std::string& path) {
  if (e.kind() != Error::Kind::refused || e.file() != path) {
    Fail("an error that does not name the file as refused:",
         korvane::platform::ToUtf8(e.message()));
  }
}

std::string g_why;  // why the last read failed

bool Read(std::string_view bytes, const std::string& path, const obj::GltfFileReader& read,
          obj::Mesh& mesh) {
  try {
    obj::ReadGltf(bytes, path, mesh, read);
  } catch (const Error& e) {
    CheckError(e, path);
    g_why = korvane::platform::ToUtf8(e.message());
    return false;
  }
  for (const korvane::geometry::Triangle& t : mesh.triangles) {
    for (const std::uint32_t c : t) {
      if (c >= mesh.vertices.size()) Fail("a triangle corner past the vertices");
    }
  }
  return true;
}

std::string_view AfterJson(std::string_view glb) {
  std::uint32_t n = 0;
  std::memcpy(&n, glb.data() + 12, 4);
  return glb.substr(20 + n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool glb = bytes.substr(0, 4) == "glTF";
  const std::string path = glb ? "fuzz.glb" : "fuzz.gltf";
  const obj::GltfFileReader itself = [bytes](const std::string&, std::string& out) {
    out.assign(bytes);
    return true;
  };
  obj::Mesh before;
  const bool readable = Read(bytes, path, itself, before);

  korvane::geometry::Matrix4 m = korvane::geometry::IdentityMatrix4();
  m.translation() = korvane::geometry::Vector3(0.5, -3, 1e3);
  for (const auto target : {obj::GltfMotionTarget::vertices, obj::GltfMotionTarget::nodes}) {
    obj::GltfReplay r;
    try {
      r = obj::TransformGltf(bytes, path, glb ? "out.glb" : "out.gltf", m, target, itself);
    } catch (const Error& e) {
      CheckError(e, path);
      continue;
    }
    if (!readable) Fail("replayed a file that does not read");
    // The moved buffers the replay wrote, else the input as before.
    const obj::GltfFileReader moved = [&](const std::string& p, std::string& out) {
      for (const obj::GltfOutput& f : r.files) {
        if (f.path == p) {
          out = f.bytes;
          return true;
        }
      }
      out.assign(bytes);
      return true;
    };
    obj::Mesh after;
    if (!Read(r.files[0].bytes, r.files[0].path, moved, after))
      Fail("the replay does not read:", g_why);
    if (after.vertices.size() != before.vertices.size()) Fail("the replay changed the vertices");
    for (std::size_t i = 0; i < before.vertices.size(); ++i) {
      const korvane::geometry::Vector3 want = before.vertices[i] + m.translation();
      const double error = (after.vertices[i] - want).norm();
      // float32 storage: a few ulps of the largest coordinate involved.
      const double scale =
          1 + want.cwiseAbs().maxCoeff() + before.vertices[i].cwiseAbs().maxCoeff();
      if (std::isfinite(want.norm()) && !(error <= 1e-5 * scale)) {
        Fail("a vertex not moved by the translation:", std::to_string(i));
      }
    }
    if (glb && target == obj::GltfMotionTarget::nodes &&
        AfterJson(r.files[0].bytes) != AfterJson(bytes)) {
      Fail("the node replay changed the binary chunk");
    }
  }
  return 0;
}
