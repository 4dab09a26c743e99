// glTF meshes exported by Blender (tests/gltf/make_parts.py): read in world
// space, replayed into the vertices or the root nodes, every other byte kept.
#include "obj/gltf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "geometry/fit.h"
#include "obj/gltf_mesh.h"
#include "obj/mesh_format.h"
#include "platform/file_io.h"
#include "test_support.h"
#include "text/error.h"

namespace korvane {
namespace {

using geometry::Matrix4;
using geometry::Vector3;

const std::string kDir = std::string(KORVANE_TEST_DATA) + "/gltf/";

std::string Bytes(const std::string& path) {
  std::string s;
  EXPECT_TRUE(platform::ReadWholeFile(path, s)) << path;
  return s;
}

// A motion with a rotation, a uniform scale and a translation; `mirror` flips x.
Matrix4 Motion(bool mirror) {
  Matrix4 m = geometry::IdentityMatrix4();
  m.linear() = 1.5 * Eigen::AngleAxisd(0.7, Vector3(1, 2, 3).normalized()).toRotationMatrix();
  if (mirror) m.linear().col(0) *= -1.0;
  m.translation() = Vector3(10, -4, 2.5);
  return m;
}

obj::Mesh Read(const std::string& bytes, const std::string& path,
               const obj::GltfFileReader& read = obj::DiskFileReader()) {
  obj::Mesh mesh;
  try {
    obj::ReadGltf(bytes, path, mesh, read);
  } catch (const Error& e) {
    ADD_FAILURE() << platform::ToUtf8(e.message());
    throw;
  }
  return mesh;
}

// Reads replayed files from memory: external buffers the replay wrote first.
obj::GltfFileReader FromReplay(const obj::GltfReplay& r) {
  return [r](const std::string& path, std::string& bytes) {
    for (const obj::GltfOutput& f : r.files) {
      if (f.path == path) {
        bytes = f.bytes;
        return true;
      }
    }
    // Kept references name the input's folder.
    return platform::ReadWholeFile(kDir + path.substr(path.rfind('/') + 1), bytes);
  };
}

// The JSON text, without a GLB's padding.
std::string JsonOf(const std::string& bytes) {
  if (bytes.compare(0, 4, "glTF") != 0) return bytes;
  std::uint32_t n = 0;
  std::memcpy(&n, bytes.data() + 12, 4);
  std::string json = bytes.substr(20, n);
  while (!json.empty() && json.back() == ' ') json.pop_back();
  return json;
}

// The JSON text without the values a replay may change (or add).
std::string Unchanging(const std::string& json) {
  static const std::regex changing(
      R"re("(min|max|uri|translation|rotation|scale|matrix)"\s*:\s*(\[[^\]]*\]|"[^"]*")\s*,?)re");
  return std::regex_replace(json, changing, "");
}

TEST(Gltf, ReadsEveryLayoutInWorldSpace) {
  // Blender's own world-space corners of both objects (the child under its parent).
  std::vector<Vector3> world;
  std::ifstream in(kDir + "parts_world.txt");
  for (double x, y, z; in >> x >> y >> z;) world.emplace_back(x, y, z);
  ASSERT_EQ(world.size(), 24u);
  const obj::Mesh glb = Read(Bytes(kDir + "parts.glb"), kDir + "parts.glb");
  ASSERT_EQ(glb.vertices.size(), 120u);
  EXPECT_EQ(glb.triangles.size(), 40u);
  for (const Vector3& v : glb.vertices) {
    double nearest = 1e9;
    for (const Vector3& w : world) nearest = std::min(nearest, (v - w).norm());
    EXPECT_LT(nearest, 1e-5) << v.transpose();
  }
  for (const char* name : {"parts.gltf", "parts_embedded.gltf"}) {
    const obj::Mesh other = Read(Bytes(kDir + name), kDir + name);
    EXPECT_EQ(other.vertices, glb.vertices) << name;
    EXPECT_EQ(other.triangles, glb.triangles) << name;
  }
}

// Strips, fans, a sparse part, a node matrix over a TRS child, a point
// primitive and a second scene (tests/gltf/make_shapes.py), worked out by hand.
TEST(Gltf, ReadsStripsFansSparseAndNodeMatrices) {
  const obj::Mesh m = Read(Bytes(kDir + "shapes.gltf"), kDir + "shapes.gltf");
  const std::vector<Vector3> corners = {{10, 0, 0}, {12, 0, 0}, {10, 2, 0}, {12, 2, 0}, {14, 4, 4}};
  std::vector<Vector3> want = corners;
  want.insert(want.end(), corners.begin(), corners.end());  // the fan's copy
  for (const Vector3& v : {Vector3(10, 10, 0), Vector3(10, 10, 2), Vector3(10, 12, 0)}) {
    want.push_back(v);
  }
  ASSERT_EQ(m.vertices.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_LT((m.vertices[i] - want[i]).norm(), 1e-5) << i << ": " << m.vertices[i].transpose();
  }
  const std::vector<geometry::Triangle> triangles = {
      {0, 1, 2}, {2, 1, 3}, {9, 5, 6}, {9, 6, 8}, {10, 11, 12}};
  EXPECT_EQ(m.triangles, triangles);
}

TEST(Gltf, ReplayMovesWhatItShouldAndKeepsEveryOtherByte) {
  struct Case {
    const char* file;
    obj::GltfMotionTarget target;
    bool mirror;
  };
  const Case cases[] = {
      {"parts.glb", obj::GltfMotionTarget::vertices, false},
      {"parts.gltf", obj::GltfMotionTarget::vertices, false},
      {"parts_embedded.gltf", obj::GltfMotionTarget::vertices, true},
      {"parts.glb", obj::GltfMotionTarget::vertices, true},
      {"parts.glb", obj::GltfMotionTarget::nodes, false},
      {"parts.gltf", obj::GltfMotionTarget::nodes, true},
      {"parts_shared.glb", obj::GltfMotionTarget::nodes, true},
      {"shapes.gltf", obj::GltfMotionTarget::vertices, false},
      {"shapes.gltf", obj::GltfMotionTarget::nodes, true},
  };
  const testing::ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.target == obj::GltfMotionTarget::nodes ? " nodes" : "") +
                 (c.mirror ? " mirror" : ""));
    const std::string input = kDir + c.file;
    const std::string bytes = Bytes(input);
    const std::string output = dir / "out" + input.substr(input.rfind('.'));
    const Matrix4 m = Motion(c.mirror);
    obj::GltfReplay r;
    try {
      r = obj::TransformGltf(bytes, input, output, m, c.target);
    } catch (const Error& e) {
      FAIL() << platform::ToUtf8(e.message());
    }
    const obj::Mesh before = Read(bytes, input);
    const obj::Mesh after = Read(r.files[0].bytes, output, FromReplay(r));
    ASSERT_EQ(after.vertices.size(), before.vertices.size());
    for (std::size_t i = 0; i < before.vertices.size(); ++i) {
      const Vector3 want = geometry::TransformPoint(m, before.vertices[i]);
      ASSERT_LT((after.vertices[i] - want).norm(), 1e-5 * (1 + want.norm())) << i;
    }
    // Triangles face the way the moved surface does: winding reversed under a
    // mirror in the vertex data, left to the node's determinant otherwise.
    const bool reversed = c.mirror && c.target == obj::GltfMotionTarget::vertices;
    EXPECT_EQ(after.triangles == before.triangles, !reversed);
    // The JSON text: the same bytes but the values a replay may change.
    const std::string json_in = JsonOf(bytes), json_out = JsonOf(r.files[0].bytes);
    EXPECT_EQ(Unchanging(json_out), Unchanging(json_in));
    const auto parsed_in = nlohmann::json::parse(json_in);
    const auto parsed_out = nlohmann::json::parse(json_out);
    if (c.target == obj::GltfMotionTarget::nodes) {
      EXPECT_EQ(parsed_out["accessors"], parsed_in["accessors"]);
      EXPECT_EQ(r.files.size(), 1u);
      if (bytes.compare(0, 4, "glTF") == 0) {
        // The BIN chunk, moved along by the new JSON length, unchanged.
        const auto chunk = [](const std::string& b) {
          std::uint32_t n = 0;
          std::memcpy(&n, b.data() + 12, 4);
          return b.substr(20 + n);
        };
        EXPECT_EQ(chunk(r.files[0].bytes), chunk(bytes));
      }
    } else {
      EXPECT_EQ(parsed_out["nodes"], parsed_in["nodes"]);
    }
    // Baked, POSITION min/max change and are written as the floats they are.
    for (const auto& mesh : parsed_out["meshes"]) {
      const auto p = mesh["primitives"][0]["attributes"]["POSITION"].get<std::size_t>();
      const auto& a = parsed_out["accessors"][p];
      EXPECT_EQ(a["min"] != parsed_in["accessors"][p]["min"],
                c.target == obj::GltfMotionTarget::vertices);
      for (const auto& v : a["min"]) {
        EXPECT_EQ(static_cast<double>(static_cast<float>(v.get<double>())), v.get<double>());
      }
      for (std::size_t k = 0; k < 3; ++k)
        EXPECT_LE(a["min"][k].get<double>(), a["max"][k].get<double>());
    }
  }
}

TEST(Gltf, AnEmptyRootNodeTakesTheWholeMotion) {
  const std::string doc = R"({"asset":{"version":"2.0"},"scenes":[{"nodes":[0]}],"nodes":[{}]})";
  const obj::GltfReplay r =
      obj::TransformGltf(doc, "empty.gltf", "out.gltf", Motion(true), obj::GltfMotionTarget::nodes);
  const auto node = nlohmann::json::parse(r.files[0].bytes)["nodes"][0];
  ASSERT_EQ(node.size(), 3u) << r.files[0].bytes;
  EXPECT_LT(node["scale"][0].get<double>(), 0);  // the mirror, as a negative scale
}

TEST(Gltf, Refusals) {
  const std::string glb = Bytes(kDir + "parts.glb");
  struct Case {
    std::string name;
    std::string bytes;
    obj::GltfMotionTarget target;
    const char* says;
    bool readable = false;  // only the replay is refused (with a mirroring motion)
  };
  std::string fewer = Bytes(kDir + "parts.gltf");
  // Say there are fewer vertices than the indices use.
  const std::size_t at = fewer.find("\"count\" : 60");
  ASSERT_NE(at, std::string::npos);
  fewer.replace(at, 12, "\"count\" : 50");
  std::string draco = Bytes(kDir + "parts.gltf");
  draco.insert(draco.find('{') + 1, "\"extensionsUsed\":[\"KHR_draco_mesh_compression\"],");
  std::string long_view = Bytes(kDir + "parts.gltf");
  long_view.replace(long_view.find("\"byteLength\" : 720"), 18, "\"byteLength\" : 7200");
  const Case cases[] = {
      {"parts_shared.glb", Bytes(kDir + "parts_shared.glb"), obj::GltfMotionTarget::vertices,
       "--gltf-nodes", true},
      {"parts_meshopt.glb", Bytes(kDir + "parts_meshopt.glb"), obj::GltfMotionTarget::vertices,
       "EXT_meshopt_compression"},
      {"parts_quantized.glb", Bytes(kDir + "parts_quantized.glb"), obj::GltfMotionTarget::nodes,
       "KHR_mesh_quantization"},
      {"parts.gltf", draco, obj::GltfMotionTarget::vertices, "KHR_draco_mesh_compression"},
      {"cut.glb", glb.substr(0, glb.size() - 100), obj::GltfMotionTarget::vertices, "length"},
      {"parts.gltf", fewer, obj::GltfMotionTarget::vertices, "holds the index"},
      {"parts.gltf", long_view, obj::GltfMotionTarget::vertices, "past the end"},
      {"shapes.gltf", Bytes(kDir + "shapes.gltf"), obj::GltfMotionTarget::vertices,
       "without indices", true},
      {"nothing.gltf",
       "{\"asset\":{\"version\":\"2.0\"},\"buffers\":[{\"uri\":\"missing.bin\","
       "\"byteLength\":4}]}",
       obj::GltfMotionTarget::vertices, "missing.bin"},
  };
  const std::vector<std::string> kKeywords = {"EXT_meshopt_compression", "KHR_mesh_quantization",
                                              "KHR_draco_mesh_compression", "gltf-nodes"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = kDir + c.name;
    for (const bool replay : {false, true}) {
      try {
        if (replay) {
          obj::TransformGltf(c.bytes, path, "out" + path.substr(path.rfind('.')),
                             Motion(c.readable), c.target);
        } else {
          obj::Mesh mesh;
          obj::ReadGltf(c.bytes, path, mesh);
        }
        // The shared mesh is read; only baking it is refused.
        EXPECT_TRUE(!replay && c.readable) << "accepted: " << c.says;
      } catch (const Error& e) {
        const std::string message = platform::ToUtf8(e.message());
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(message.rfind(path, 0), 0u) << message;
        // Our words, read in Japanese; a missing buffer is told in tinygltf's.
        if (c.name != "nothing.gltf") testing::ExpectJapanese(e.message(), kKeywords);
      }
    }
  }
}

TEST(Gltf, FilesOnDiskNeverOverwriteWhatTheyRead) {
  const testing::ScratchDir dir;
  for (const char* name : {"parts.gltf", "parts.bin"}) {
    std::ofstream(dir / "" + name, std::ios::binary) << Bytes(kDir + name);
  }
  const std::string input = dir / "parts.gltf";
  // The new buffer would be parts.bin, the input's own buffer.
  EXPECT_THROW(
      obj::ReplayGltfFile(input, false, dir / "parts.json", Motion(false), {}, nullptr, {}), Error);
  EXPECT_THROW(obj::ReplayGltfFile(input, false, platform::StandardOutputName(), Motion(false), {},
                                   nullptr, {}),
               Error);
  EXPECT_EQ(Bytes(dir / "parts.bin"), Bytes(kDir + "parts.bin"));
  obj::ReplayGltfFile(input, false, dir / "moved.gltf", Motion(false), {}, nullptr, {});
  EXPECT_EQ(Bytes(dir / "parts.bin"), Bytes(kDir + "parts.bin"));
  // Nodes only: the copy keeps naming parts.bin, which another folder lacks.
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
  obj::ReplayStyle nodes;
  nodes.sceneNodes = true;
  EXPECT_THROW(
      obj::ReplayGltfFile(input, false, dir / "sub/moved.gltf", Motion(false), nodes, nullptr, {}),
      Error);
  EXPECT_FALSE(testing::Exists(dir / "sub/moved.gltf"));
  obj::Mesh moved;
  obj::ReadGltfMesh(dir / "moved.gltf", false, moved, true);
  EXPECT_EQ(moved.vertices.size(), 120u);
  EXPECT_NE(Bytes(dir / "moved.bin"), Bytes(kDir + "parts.bin"));
}

// A mixed pair: an OBJ base (the scene's world-space vertices) against a
// glTF copy replayed through the one replay entry, measured through the one reader.
TEST(Gltf, ObjBaseAgainstGltfCopy) {
  const testing::ScratchDir dir;
  const obj::Mesh scene = Read(Bytes(kDir + "parts.glb"), kDir + "parts.glb");
  std::ostringstream text;
  text.precision(17);
  for (const Vector3& v : scene.vertices)
    text << "v " << v.x() << ' ' << v.y() << ' ' << v.z() << '\n';
  testing::WriteFile(dir / "base.obj", text.str());
  const Matrix4 m = Motion(false);  // the three-point rule finds turns, not mirrors
  obj::ReplayMeshFile(kDir + "parts.glb", dir / "moved.glb", m);
  const obj::Mesh base = obj::ReadMesh(dir / "base.obj");
  const obj::Mesh moved = obj::ReadMesh(dir / "moved.glb");
  const geometry::ThreePoint found = geometry::ThreePointRule(base.vertices, moved.vertices);
  EXPECT_LT((found.matrix.matrix() - m.matrix()).cwiseAbs().maxCoeff(), 1e-4);
}

}  // namespace
}  // namespace korvane
