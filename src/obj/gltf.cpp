#include "obj/gltf.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include "obj/tiny_gltf_config.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/error.h"
#include "text/gltf_words.h"

namespace korvane::obj {
namespace {

using geometry::Matrix4;
using geometry::Vector3;

constexpr int kFloat = TINYGLTF_COMPONENT_TYPE_FLOAT;
constexpr std::uint32_t kGlbMagic = 0x46546C67;  // "glTF"
constexpr std::uint32_t kJsonChunk = 0x4E4F534A;
constexpr std::uint32_t kBinChunk = 0x004E4942;

// Extensions whose primitives hold their data in a form only a decoder reads
// (or place copies of a mesh the nodes do not show): measuring or moving
// them without it would be wrong.
constexpr const char* kRefusedExtensions[] = {"KHR_draco_mesh_compression",
                                              "EXT_meshopt_compression", "KHR_meshopt_compression",
                                              "KHR_mesh_quantization", "EXT_mesh_gpu_instancing"};

[[noreturn]] void Refuse(const std::string& path, const text::Message& what) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Append(what), path);
}

// "accessor 3", "node 7": a thing of the document by its number.
text::Message Numbered(const text::Phrase& noun, long long number) {
  return text::Message().Say(noun).Own(std::to_string(number));
}

std::uint32_t ReadU32(std::string_view b, std::size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(b.data() + at);
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void PutU32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// The binary container's parts, as offsets into the file.
struct Glb {
  std::size_t jsonBegin = 0, jsonSize = 0;
  bool hasBin = false;
  std::size_t binBegin = 0, binSize = 0;  // the BIN chunk's data
  std::size_t end = 0;                    // the length the header gives
};

// Checked here rather than left to tinygltf, whose test lets a BIN chunk run
// eight bytes past the end of the file.
Glb SplitGlb(std::string_view b, const std::string& path) {
  if (b.size() < 20) Refuse(path, text::Message().Say(text::kGlbEndsInHeader));
  if (ReadU32(b, 4) != 2) {
    Refuse(path, text::Message()
                     .Say(text::kGlbVersion)
                     .Own(std::to_string(ReadU32(b, 4)))
                     .Say(text::kGlbVersionEnd));
  }
  Glb g;
  g.end = ReadU32(b, 8);
  if (g.end > b.size() || g.end < 20) {
    Refuse(path, text::Message()
                     .Say(text::kGlbLength)
                     .Own(std::to_string(g.end))
                     .Say(text::kGlbLengthHas)
                     .Own(std::to_string(b.size()))
                     .Say(text::kGlbLengthEnd));
  }
  if (ReadU32(b, 16) != kJsonChunk) Refuse(path, text::Message().Say(text::kGlbNotJson));
  g.jsonBegin = 20;
  g.jsonSize = ReadU32(b, 12);
  if (g.jsonSize > g.end - 20) Refuse(path, text::Message().Say(text::kGlbJsonPast));
  std::size_t at = 20 + g.jsonSize;
  if (at % 4 != 0) Refuse(path, text::Message().Say(text::kGlbJsonAlign));
  if (g.end - at >= 8 && ReadU32(b, at + 4) == kBinChunk) {
    g.binSize = ReadU32(b, at);
    if (g.binSize > g.end - at - 8) Refuse(path, text::Message().Say(text::kGlbBinPast));
    g.hasBin = true;
    g.binBegin = at + 8;
  }
  return g;
}

std::string DirectoryPart(const std::string& path) {
  const std::size_t cut = path.find_last_of(platform::kIsWindows ? "/\\" : "/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string FilePart(const std::string& path) {
  const std::size_t cut = path.find_last_of(platform::kIsWindows ? "/\\" : "/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(const std::string& uri) {
  std::string out;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size() + 0 && HexValue(uri[i + 1]) >= 0 &&
        HexValue(uri[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(uri[i + 1]) * 16 + HexValue(uri[i + 2]));
      i += 2;
    } else {
      out += uri[i];
    }
  }
  return out;
}

bool IsDataUri(const std::string& uri) { return uri.rfind("data:", 0) == 0; }

// tinygltf's file system: ours, through the reader the caller gives.
struct FileContext {
  const GltfFileReader* read;
};

bool AnyFileExists(const std::string&, void*) { return true; }
std::string SamePath(const std::string& p, void*) { return p; }
bool ReadThrough(std::vector<unsigned char>* out, std::string* err, const std::string& path,
                 void* user) {
  std::string bytes;
  if (!(*static_cast<FileContext*>(user)->read)(path, bytes)) {
    if (err != nullptr) *err = "cannot read " + path;
    return false;
  }
  out->assign(bytes.begin(), bytes.end());
  return true;
}
bool NoWrite(std::string*, const std::string&, const std::vector<unsigned char>&, void*) {
  return false;
}
bool SkipImage(tinygltf::Image*, const int, std::string*, std::string*, int, int,
               const unsigned char*, int, void*) {
  return true;
}

struct Document {
  tinygltf::Model model;
  std::string_view json;  // the JSON text as stored
  bool glb = false;
  Glb container;
  std::vector<std::string> bufferPaths;  // per buffer: its external file, or empty
};

Document Parse(std::string_view bytes, const std::string& path, const GltfFileReader& read) {
  if (bytes.size() > std::numeric_limits<unsigned>::max()) {
    Refuse(path, text::Message().Say(text::kGltfOver4G));
  }
  Document d;
  d.glb = bytes.size() >= 4 && ReadU32(bytes, 0) == kGlbMagic;
  if (d.glb) {
    d.container = SplitGlb(bytes, path);
    d.json = bytes.substr(d.container.jsonBegin, d.container.jsonSize);
  } else {
    d.json = bytes;
  }
  // Named before parsing: tinygltf fails first on the buffers such files
  // leave for their decoders.
  for (const char* refused : kRefusedExtensions) {
    if (d.json.find("\"" + std::string(refused) + "\"") != std::string_view::npos) {
      Refuse(path,
             text::Message().Say(text::kGltfExtension).Own(refused).Say(text::kGltfExtensionEnd));
    }
  }
  tinygltf::TinyGLTF loader;
  FileContext context{&read};
  loader.SetFsCallbacks({AnyFileExists, SamePath, ReadThrough, NoWrite, &context});
  loader.SetImageLoader(SkipImage, nullptr);
  std::string err, warn;
  const std::string base = DirectoryPart(path);
  bool ok = false;
  try {
    ok = d.glb ? loader.LoadBinaryFromMemory(&d.model, &err, &warn,
                                             reinterpret_cast<const unsigned char*>(bytes.data()),
                                             static_cast<unsigned>(d.container.end), base)
               : loader.LoadASCIIFromString(&d.model, &err, &warn, bytes.data(),
                                            static_cast<unsigned>(bytes.size()), base);
  } catch (const std::exception& e) {
    err = e.what();
  }
  if (!ok) {
    while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
    text::Message why;
    if (err.empty()) {
      why.Say(text::kGltfNoDetails);
    } else {
      why.Own(err);  // tinygltf's own words
    }
    Refuse(path,
           text::Message().Say(text::kGltfUnreadable).Append(why).Say(text::kGltfUnreadableEnd));
  }
  for (const tinygltf::Buffer& b : d.model.buffers) {
    const bool external = !b.uri.empty() && !IsDataUri(b.uri);
    d.bufferPaths.push_back(external ? base + PercentDecoded(b.uri) : std::string());
  }
  return d;
}

// --- Accessors -------------------------------------------------------------

// Where an accessor's stored elements lie: element i at buffer bytes
// [offset + i * stride, + size).
struct Lanes {
  int buffer = -1;  // -1: no buffer view (all zero)
  std::size_t offset = 0, stride = 0, size = 0, count = 0;
};

const tinygltf::Accessor& AccessorAt(const tinygltf::Model& m, int index, const std::string& path) {
  if (index < 0 || static_cast<std::size_t>(index) >= m.accessors.size()) {
    Refuse(path, Numbered(text::kGltfAccessor, index).Say(text::kGltfNotExist));
  }
  return m.accessors[static_cast<std::size_t>(index)];
}

Lanes LocateView(const tinygltf::Model& m, int view_index, std::size_t offset, std::size_t count,
                 std::size_t size, bool strided, const std::string& path,
                 const text::Message& what) {
  if (view_index < 0 || static_cast<std::size_t>(view_index) >= m.bufferViews.size()) {
    Refuse(path, text::Message(what)
                     .Append(Numbered(text::kGltfViewOf, view_index))
                     .Say(text::kGltfNotExist));
  }
  const tinygltf::BufferView& v = m.bufferViews[static_cast<std::size_t>(view_index)];
  if (v.buffer < 0 || static_cast<std::size_t>(v.buffer) >= m.buffers.size()) {
    Refuse(path, text::Message(what)
                     .Append(Numbered(text::kGltfBufferOf, v.buffer))
                     .Say(text::kGltfNotExist));
  }
  const std::size_t buffer_size = m.buffers[static_cast<std::size_t>(v.buffer)].data.size();
  if (v.byteOffset > buffer_size || v.byteLength > buffer_size - v.byteOffset) {
    Refuse(path, text::Message(what)
                     .Append(Numbered(text::kGltfViewOf, view_index))
                     .Say(text::kGltfViewPast));
  }
  Lanes l;
  l.buffer = v.buffer;
  l.size = size;
  l.count = count;
  l.stride = strided && v.byteStride != 0 ? v.byteStride : size;
  if (l.stride < size) Refuse(path, text::Message(what).Say(text::kGltfStrideSmall));
  const bool fits = count == 0 || (offset <= v.byteLength && size <= v.byteLength - offset &&
                                   (count - 1) <= (v.byteLength - offset - size) / l.stride);
  if (!fits) {
    Refuse(path, text::Message(what)
                     .Say(text::kGltfElementsOf)
                     .Own(std::to_string(count))
                     .Say(text::kGltfNoFitInView)
                     .Own(std::to_string(view_index))
                     .Say(text::kGltfNoFitEnd));
  }
  l.offset = v.byteOffset + offset;
  return l;
}

std::size_t ComponentSize(int type) {
  const std::int32_t s = tinygltf::GetComponentSizeInBytes(static_cast<std::uint32_t>(type));
  return s > 0 ? static_cast<std::size_t>(s) : 0;
}

// The sparse part of an accessor: which elements its values replace.
struct Sparse {
  std::vector<std::uint32_t> indices;
  Lanes values;
  Lanes indexLanes;  // where the indices lie
};

std::uint32_t ReadIndex(const unsigned char* p, std::size_t size) {
  if (size == 1) return p[0];
  if (size == 2) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool IsIndexType(int type) {
  return type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
         type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
         type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
}

// An accessor checked against its buffers: its stored elements and sparse part.
struct View {
  const tinygltf::Accessor* a = nullptr;
  std::size_t components = 0;
  Lanes lanes;
  bool sparse = false;
  Sparse part;
};

View Check(const tinygltf::Model& m, int index, std::size_t file_size, const std::string& path) {
  View v;
  v.a = &AccessorAt(m, index, path);
  const tinygltf::Accessor& a = *v.a;
  const text::Message what = Numbered(text::kGltfAccessor, index);
  const std::int32_t n = tinygltf::GetNumComponentsInType(static_cast<std::uint32_t>(a.type));
  const std::size_t component = ComponentSize(a.componentType);
  if (n <= 0 || component == 0) Refuse(path, text::Message(what).Say(text::kGltfUnknownType));
  v.components = static_cast<std::size_t>(n);
  const std::size_t element = v.components * component;
  if (a.bufferView >= 0) {
    v.lanes = LocateView(m, a.bufferView, a.byteOffset, a.count, element, true, path, what);
  } else {
    // All zero: memory grows with the count, so it is held to the file's size.
    if (a.count > std::max<std::size_t>(file_size, 1u << 16)) {
      Refuse(path, text::Message(what)
                       .Say(text::kGltfNoDataGives)
                       .Own(std::to_string(a.count))
                       .Say(text::kGltfNoDataEnd));
    }
    v.lanes.count = a.count;
    v.lanes.size = element;
  }
  if (a.sparse.isSparse) {
    v.sparse = true;
    const auto count = static_cast<std::size_t>(std::max(a.sparse.count, 0));
    const int index_type = a.sparse.indices.componentType;
    if (!IsIndexType(index_type) || a.sparse.indices.byteOffset < 0 ||
        a.sparse.values.byteOffset < 0 || count > a.count) {
      Refuse(path, text::Message(what).Say(text::kGltfSparseUnreadable));
    }
    const Lanes il = LocateView(m, a.sparse.indices.bufferView,
                                static_cast<std::size_t>(a.sparse.indices.byteOffset), count,
                                ComponentSize(index_type), false, path,
                                text::Message(what).Say(text::kGltfSparseIndices));
    v.part.values = LocateView(m, a.sparse.values.bufferView,
                               static_cast<std::size_t>(a.sparse.values.byteOffset), count, element,
                               false, path, text::Message(what).Say(text::kGltfSparseValues));
    v.part.indexLanes = il;
    const unsigned char* data = m.buffers[static_cast<std::size_t>(il.buffer)].data.data();
    v.part.indices.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t k = ReadIndex(data + il.offset + i * il.stride, il.size);
      if (k >= a.count) Refuse(path, text::Message(what).Say(text::kGltfSparseOut));
      v.part.indices.push_back(k);
    }
  }
  return v;
}

View CheckFloats(const tinygltf::Model& m, int index, std::size_t components, std::size_t file_size,
                 const std::string& path, const char* attribute) {
  View v = Check(m, index, file_size, path);
  if (v.a->componentType != kFloat || v.components != components) {
    Refuse(path, text::Message(attribute)
                     .Append(Numbered(text::kGltfAttributeAccessor, index))
                     .Say(text::kGltfNotFloats)
                     .Own(std::to_string(components))
                     .Say(text::kGltfFloatsEnd));
  }
  return v;
}

const unsigned char* BufferData(const tinygltf::Model& m, int buffer) {
  return m.buffers[static_cast<std::size_t>(buffer)].data.data();
}

// The elements as floats, the sparse values in place.
std::vector<float> ReadFloats(const tinygltf::Model& m, const View& v) {
  std::vector<float> out(v.lanes.count * v.components, 0.0f);
  const std::size_t bytes = v.components * sizeof(float);
  if (v.lanes.buffer >= 0) {
    const unsigned char* data = BufferData(m, v.lanes.buffer) + v.lanes.offset;
    for (std::size_t i = 0; i < v.lanes.count; ++i) {
      std::memcpy(&out[i * v.components], data + i * v.lanes.stride, bytes);
    }
  }
  if (v.sparse) {
    const unsigned char* data = BufferData(m, v.part.values.buffer) + v.part.values.offset;
    for (std::size_t i = 0; i < v.part.indices.size(); ++i) {
      std::memcpy(&out[v.part.indices[i] * v.components], data + i * bytes, bytes);
    }
  }
  return out;
}

std::vector<std::uint32_t> ReadIndices(const tinygltf::Model& m, const View& v,
                                       const std::string& path) {
  if (!IsIndexType(v.a->componentType) || v.components != 1) {
    Refuse(path, text::Message().Say(text::kGltfIndexNotUnsigned));
  }
  std::vector<std::uint32_t> out(v.lanes.count, 0);
  if (v.lanes.buffer >= 0) {
    const unsigned char* data = BufferData(m, v.lanes.buffer) + v.lanes.offset;
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = ReadIndex(data + i * v.lanes.stride, v.lanes.size);
    }
  }
  if (v.sparse) {
    const unsigned char* data = BufferData(m, v.part.values.buffer) + v.part.values.offset;
    for (std::size_t i = 0; i < v.part.indices.size(); ++i) {
      out[v.part.indices[i]] = ReadIndex(data + i * v.lanes.size, v.lanes.size);
    }
  }
  return out;
}

// --- The scene ------------------------------------------------------------

Matrix4 LocalMatrix(const tinygltf::Node& n) {
  Matrix4 t = geometry::IdentityMatrix4();
  if (n.matrix.size() == 16) {
    for (int c = 0; c < 4; ++c) {
      for (int r = 0; r < 3; ++r) t.matrix()(r, c) = n.matrix[static_cast<std::size_t>(c * 4 + r)];
    }
    return t;
  }
  if (n.translation.size() == 3) {
    t.translation() = Vector3(n.translation[0], n.translation[1], n.translation[2]);
  }
  if (n.rotation.size() == 4) {
    Eigen::Quaterniond q(n.rotation[3], n.rotation[0], n.rotation[1], n.rotation[2]);
    if (q.norm() > 0) q.normalize();
    t.linear() = q.toRotationMatrix();
  }
  if (n.scale.size() == 3) {
    t.linear() = t.linear() * Vector3(n.scale[0], n.scale[1], n.scale[2]).asDiagonal();
  }
  return t;
}

std::vector<int> SceneRoots(const tinygltf::Model& m) {
  if (!m.scenes.empty()) {
    const int s = m.defaultScene >= 0 && static_cast<std::size_t>(m.defaultScene) < m.scenes.size()
                      ? m.defaultScene
                      : 0;
    return m.scenes[static_cast<std::size_t>(s)].nodes;
  }
  // No scene: every node that is no other node's child.
  std::vector<bool> child(m.nodes.size(), false);
  for (const tinygltf::Node& n : m.nodes) {
    for (const int c : n.children) {
      if (c >= 0 && static_cast<std::size_t>(c) < child.size())
        child[static_cast<std::size_t>(c)] = true;
    }
  }
  std::vector<int> roots;
  for (std::size_t i = 0; i < child.size(); ++i) {
    if (!child[i]) roots.push_back(static_cast<int>(i));
  }
  return roots;
}

struct Instance {
  int node;
  int mesh;
  Matrix4 world;
};

// The nodes of the default scene that show a mesh, depth first, children in
// order; a node reached twice (a cycle, or two parents) is refused.
std::vector<Instance> MeshInstances(const tinygltf::Model& m, const std::string& path) {
  std::vector<Instance> out;
  std::vector<bool> seen(m.nodes.size(), false);
  struct Step {
    int node;
    Matrix4 parent;
  };
  std::vector<Step> stack;
  const std::vector<int> roots = SceneRoots(m);
  for (auto r = roots.rbegin(); r != roots.rend(); ++r)
    stack.push_back({*r, geometry::IdentityMatrix4()});
  while (!stack.empty()) {
    const Step s = stack.back();
    stack.pop_back();
    if (s.node < 0 || static_cast<std::size_t>(s.node) >= m.nodes.size()) {
      Refuse(path, Numbered(text::kGltfNode, s.node).Say(text::kGltfNotExist));
    }
    if (seen[static_cast<std::size_t>(s.node)]) {
      Refuse(path, Numbered(text::kGltfNode, s.node).Say(text::kGltfTwiceInTree));
    }
    seen[static_cast<std::size_t>(s.node)] = true;
    const tinygltf::Node& n = m.nodes[static_cast<std::size_t>(s.node)];
    const Matrix4 world = s.parent * LocalMatrix(n);
    if (n.mesh >= 0) {
      if (static_cast<std::size_t>(n.mesh) >= m.meshes.size()) {
        Refuse(path, Numbered(text::kGltfNode, s.node)
                         .Say(text::kGltfShowsMesh)
                         .Own(std::to_string(n.mesh))
                         .Say(text::kGltfNoSuch));
      }
      out.push_back({s.node, n.mesh, world});
    }
    for (auto c = n.children.rbegin(); c != n.children.rend(); ++c) stack.push_back({*c, world});
  }
  return out;
}

int ModeOf(const tinygltf::Primitive& p) { return p.mode < 0 ? TINYGLTF_MODE_TRIANGLES : p.mode; }

bool IsTriangleMode(int mode) {
  return mode == TINYGLTF_MODE_TRIANGLES || mode == TINYGLTF_MODE_TRIANGLE_STRIP ||
         mode == TINYGLTF_MODE_TRIANGLE_FAN;
}

int AttributeOf(const std::map<std::string, int>& attributes, const char* name) {
  const auto it = attributes.find(name);
  return it == attributes.end() ? -1 : it->second;
}

// The triangles of one primitive as corners into its vertices.
void AddTriangles(const std::vector<std::uint32_t>& corners, int mode, std::uint32_t base,
                  std::vector<geometry::Triangle>& out) {
  const auto add = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    if (a != b && b != c && a != c) out.push_back({base + a, base + b, base + c});
  };
  const std::size_t n = corners.size();
  if (mode == TINYGLTF_MODE_TRIANGLES) {
    for (std::size_t i = 0; i + 2 < n; i += 3) add(corners[i], corners[i + 1], corners[i + 2]);
  } else if (mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
    for (std::size_t i = 0; i + 2 < n; ++i) {
      if (i % 2 == 0) {
        add(corners[i], corners[i + 1], corners[i + 2]);
      } else {
        add(corners[i + 1], corners[i], corners[i + 2]);
      }
    }
  } else {
    for (std::size_t i = 1; i + 1 < n; ++i) add(corners[0], corners[i], corners[i + 1]);
  }
}

}  // namespace

GltfFileReader DiskFileReader() {
  return [](const std::string& path, std::string& bytes) {
    return platform::ReadWholeFile(path, bytes);
  };
}

namespace {

// The scene's triangles in world space; every accessor a primitive uses is
// checked against its buffers, every index against its vertices.
// Without `mesh`, only checks and counts the vertices.
std::uint64_t Collect(const tinygltf::Model& m, std::size_t file_size, const std::string& path,
                      Mesh* mesh) {
  std::uint64_t total = 0;
  if (mesh != nullptr) {
    mesh->vertices.clear();
    mesh->triangles.clear();
  }
  for (const Instance& in : MeshInstances(m, path)) {
    for (const tinygltf::Primitive& p : m.meshes[static_cast<std::size_t>(in.mesh)].primitives) {
      const int mode = ModeOf(p);
      if (!IsTriangleMode(mode)) continue;
      const int position = AttributeOf(p.attributes, "POSITION");
      if (position < 0) continue;
      const View v = CheckFloats(m, position, 3, file_size, path, "POSITION");
      if (total + v.lanes.count > std::numeric_limits<std::uint32_t>::max()) {
        Refuse(path, text::Message().Say(text::kGltfOver2To32));
      }
      const auto base = static_cast<std::uint32_t>(total);
      total += v.lanes.count;
      if (mesh != nullptr) {
        const std::vector<float> xyz = ReadFloats(m, v);
        mesh->vertices.reserve(total);
        for (std::size_t i = 0; i < v.lanes.count; ++i) {
          const Vector3 local(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
          mesh->vertices.push_back(geometry::TransformPoint(in.world, local));
        }
      }
      std::vector<std::uint32_t> corners;
      if (p.indices >= 0) {
        corners = ReadIndices(m, Check(m, p.indices, file_size, path), path);
        for (const std::uint32_t c : corners) {
          if (c >= v.lanes.count) {
            Refuse(path, Numbered(text::kGltfAccessor, p.indices)
                             .Say(text::kGltfHoldsIndex)
                             .Own(std::to_string(c))
                             .Say(text::kGltfButThereAre)
                             .Own(std::to_string(v.lanes.count))
                             .Say(text::kGltfVerticesEnd));
          }
        }
      } else if (mesh != nullptr) {
        corners.resize(v.lanes.count);
        for (std::size_t i = 0; i < corners.size(); ++i) corners[i] = static_cast<std::uint32_t>(i);
      }
      if (mesh != nullptr) AddTriangles(corners, mode, base, mesh->triangles);
    }
  }
  return total;
}

}  // namespace

void ReadGltf(std::string_view bytes, const std::string& path, Mesh& mesh,
              const GltfFileReader& read) {
  const Document d = Parse(bytes, path, read);
  Collect(d.model, bytes.size(), path, &mesh);
}

namespace {

// --- Editing the JSON text ------------------------------------------------

// Where a value lies in the text: [begin, end).
struct Span {
  std::size_t begin = 0, end = 0;
};

struct JsonObject {
  std::size_t open = std::string_view::npos;  // the '{'; npos: not an object
  std::map<std::string, Span> keys;
};

// The objects of the top-level arrays the replay edits (accessors, buffers,
// nodes). The text was parsed already; this only finds places in it.
class JsonLayout {
 public:
  explicit JsonLayout(std::string_view s) : s_(s) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    Ws();
    if (!Eat('{')) return;
    while (Ws(), i_ < s_.size() && s_[i_] != '}') {
      const std::string key = Key();
      Ws();
      if (key == "accessors" || key == "buffers" || key == "nodes") {
        if (At() == '[') {
          // A key given twice: the last one counts, as for the parser.
          std::vector<JsonObject>& objects = arrays_[key];
          objects.clear();
          Objects(objects);
        } else {
          Skip();
        }
      } else {
        Skip();
      }
      Ws();
      Eat(',');
    }
  }
  const JsonObject* Find(const std::string& array, std::size_t index) const {
    const auto it = arrays_.find(array);
    if (it == arrays_.end() || index >= it->second.size()) return nullptr;
    return &it->second[index];
  }

 private:
  char At() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool Eat(char c) {
    if (At() != c) return false;
    ++i_;
    return true;
  }
  void Ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  void String() {
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') i_ += s_[i_] == '\\' ? 2u : 1u;
    ++i_;
  }
  std::string Key() {
    const std::size_t from = i_ + 1;
    String();
    const std::size_t to = std::min(i_, s_.size() + 1) - 1;  // the closing quote
    const std::string key(from < to ? s_.substr(from, to - from) : std::string_view());
    Ws();
    Eat(':');
    return key;
  }
  // Any value, nested ones without recursion.
  void Skip() {
    std::size_t depth = 0;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '"') {
        String();
        if (depth == 0) return;
      } else if (c == '{' || c == '[') {
        ++depth;
        ++i_;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return;
        ++i_;
        if (--depth == 0) return;
      } else if (depth == 0 &&
                 (c == ',' || c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        return;
      } else {
        ++i_;
      }
    }
  }
  void Objects(std::vector<JsonObject>& out) {
    ++i_;
    while (Ws(), i_ < s_.size() && s_[i_] != ']') {
      const std::size_t before = i_;
      JsonObject o;
      if (At() == '{') {
        o.open = i_++;
        while (Ws(), i_ < s_.size() && s_[i_] != '}') {
          const std::string key = Key();
          Ws();
          Span v;
          v.begin = i_;
          Skip();
          v.end = i_;
          o.keys[key] = v;
          Ws();
          Eat(',');
        }
        ++i_;
      } else {
        Skip();
      }
      out.push_back(std::move(o));
      Ws();
      Eat(',');
      if (i_ == before) ++i_;  // not JSON the parser took; never stand still
    }
    ++i_;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::map<std::string, std::vector<JsonObject>> arrays_;
};

struct Edit {
  std::size_t begin, end;
  std::string text;
};

std::string Edited(std::string_view s, std::vector<Edit> edits) {
  std::stable_sort(edits.begin(), edits.end(),
                   [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
  std::string out;
  out.reserve(s.size() + 256);
  std::size_t at = 0;
  for (const Edit& e : edits) {
    out.append(s.substr(at, e.begin - at));
    out += e.text;
    at = e.end;
  }
  out.append(s.substr(at));
  return out;
}

template <class T>
std::string Number(T v) {
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

template <class T>
std::string NumberArray(const T* v, std::size_t n) {
  std::string s = "[";
  for (std::size_t i = 0; i < n; ++i) s += (i == 0 ? "" : ",") + Number(v[i]);
  return s + "]";
}

std::string JsonString(const std::string& v) {
  std::string s = "\"";
  for (const char c : v) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      s += buf;
    } else {
      s += c;
    }
  }
  return s + "\"";
}

std::string PercentEncoded(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

std::string Base64(const std::vector<unsigned char>& data) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::uint32_t n = std::uint32_t{data[i]} << 16 |
                            (i + 1 < data.size() ? std::uint32_t{data[i + 1]} << 8 : 0u) |
                            (i + 2 < data.size() ? std::uint32_t{data[i + 2]} : 0u);
    out += digits[n >> 18 & 63];
    out += digits[n >> 12 & 63];
    out += i + 1 < data.size() ? digits[n >> 6 & 63] : '=';
    out += i + 2 < data.size() ? digits[n & 63] : '=';
  }
  return out;
}

const JsonObject& ObjectIn(const JsonLayout& layout, const char* array, std::size_t index,
                           const std::string& path) {
  const JsonObject* o = layout.Find(array, index);
  if (o == nullptr || o->open == std::string_view::npos) {
    Refuse(path, text::Message()
                     .Say(text::kGltfCannotFind)
                     .Own(std::string(array) + "[" + std::to_string(index))
                     .Say(text::kGltfCannotFindEnd));
  }
  return *o;
}

// Replaces the value of `key`, or adds the key at the start of the object;
// `added` counts the keys added to it so far.
void SetKey(std::vector<Edit>& edits, const JsonObject& o, const char* key, std::string value,
            int* added = nullptr) {
  const auto it = o.keys.find(key);
  if (it != o.keys.end()) {
    edits.push_back({it->second.begin, it->second.end, std::move(value)});
    return;
  }
  std::string text = "\"" + std::string(key) + "\":" + value;
  if (!o.keys.empty()) {
    text += ',';
  } else if (added != nullptr && (*added)++ > 0) {
    text.insert(0, 1, ',');  // after the key added before it, in an object that was empty
  }
  edits.push_back({o.open + 1, o.open + 1, std::move(text)});
}

// --- Baking the motion into the vertex data ---------------------------------

enum class Kind { point, vector, normal, normal_delta, tangent, indices };

struct Claim {
  Kind kind;
  int mesh;      // whose transform it takes
  int mode = 0;  // indices: the primitive's mode
};

bool Near(const Matrix4& a, const Matrix4& b) {
  const double scale =
      1.0 + std::max(a.matrix().cwiseAbs().maxCoeff(), b.matrix().cwiseAbs().maxCoeff());
  return (a.matrix() - b.matrix()).cwiseAbs().maxCoeff() <= 1e-9 * scale;
}

text::Message MeshName(const tinygltf::Model& m, int mesh) {
  const std::string& name = m.meshes[static_cast<std::size_t>(mesh)].name;
  text::Message out = Numbered(text::kGltfMesh, mesh);
  if (!name.empty()) out.Own(" (").Host(name).Own(")");  // the file's own name for it
  return out;
}

// A run of bytes some part of the document reads: an accessor's elements,
// its sparse indices or values, or an image's buffer view.
struct ByteRun {
  text::Message what;
  Lanes lanes;
  bool written;
  std::size_t End() const { return lanes.offset + (lanes.count - 1) * lanes.stride + lanes.size; }
};

// The bytes the replay writes must be read by nothing else, or what else
// reads them would change too: each written run meets no other run, but for
// attributes interleaved in one stride.
void CheckApart(std::vector<ByteRun> runs, const std::string& path) {
  runs.erase(
      std::remove_if(runs.begin(), runs.end(),
                     [](const ByteRun& r) { return r.lanes.buffer < 0 || r.lanes.count == 0; }),
      runs.end());
  std::sort(runs.begin(), runs.end(), [](const ByteRun& a, const ByteRun& b) {
    return a.lanes.buffer != b.lanes.buffer ? a.lanes.buffer < b.lanes.buffer
                                            : a.lanes.offset < b.lanes.offset;
  });
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Lanes& a = runs[i].lanes;
    for (std::size_t j = i + 1; j < runs.size() && runs[j].lanes.buffer == a.buffer &&
                                runs[j].lanes.offset < runs[i].End();
         ++j) {
      if (!runs[i].written && !runs[j].written) continue;
      const Lanes& b = runs[j].lanes;
      if (a.stride == b.stride) {
        const std::size_t gap = (b.offset - a.offset) % a.stride;
        if (gap >= a.size && a.stride - gap >= b.size) continue;
      }
      Refuse(path, text::Message(runs[i].what)
                       .Say(text::kGltfAnd)
                       .Append(runs[j].what)
                       .Say(text::kGltfShareBytes));
    }
  }
}

class Baker {
 public:
  Baker(Document& d, std::size_t file_size, const std::string& path, const Matrix4& motion)
      : m_(d.model), size_(file_size), path_(path), motion_(motion) {}

  // Fills `changed` with the buffers written and `edits` with the min/max.
  void Run(std::set<int>& changed, std::vector<Edit>& edits, const JsonLayout& layout) {
    for (const Instance& in : MeshInstances(m_, path_)) {
      const tinygltf::Node& node = m_.nodes[static_cast<std::size_t>(in.node)];
      if (node.skin >= 0) {
        Refuse(path_, Numbered(text::kGltfNode, in.node).Say(text::kGltfSkinned));
      }
      const double det = in.world.linear().determinant();
      if (!(std::abs(det) > 0) || !std::isfinite(det)) {
        Refuse(path_, Numbered(text::kGltfNode, in.node).Say(text::kGltfFlattens));
      }
      const Matrix4 c = in.world.inverse(Eigen::Affine) * motion_ * in.world;
      const auto [at, fresh] = transforms_.emplace(in.mesh, c);
      if (!fresh && !Near(at->second, c)) {
        Refuse(path_, MeshName(m_, in.mesh).Say(text::kGltfTwoNodes));
      }
    }
    mirror_ = motion_.linear().determinant() < 0;
    for (const auto& [mesh, c] : transforms_) ClaimMesh(mesh);
    std::vector<ByteRun> runs;
    for (std::size_t i = 0; i < m_.accessors.size(); ++i) {
      const int index = static_cast<int>(i);
      const bool written = claims_.count(index) != 0;
      View v;
      try {
        v = written ? views_.at(index) : Check(m_, index, size_, path_);
      } catch (const Error&) {
        continue;  // an accessor nothing uses may be broken; it reads none of our bytes
      }
      const text::Message what = Numbered(text::kGltfAccessor, index);
      runs.push_back({what, v.lanes, written});
      if (v.sparse) {
        runs.push_back({text::Message(what).Say(text::kGltfSparseValues), v.part.values, written});
        runs.push_back(
            {text::Message(what).Say(text::kGltfSparseIndices), v.part.indexLanes, false});
      }
    }
    for (const tinygltf::Image& image : m_.images) {
      if (image.bufferView < 0 ||
          static_cast<std::size_t>(image.bufferView) >= m_.bufferViews.size())
        continue;
      const tinygltf::BufferView& bv = m_.bufferViews[static_cast<std::size_t>(image.bufferView)];
      Lanes l;
      l.buffer = bv.buffer;
      l.offset = bv.byteOffset;
      l.stride = l.size = bv.byteLength;
      l.count = 1;
      runs.push_back({"an image's buffer view", l, false});
    }
    CheckApart(std::move(runs), path_);
    for (const auto& [index, claim] : claims_) {
      const View& v = views_.at(index);
      if (claim.kind == Kind::indices) {
        Rewind(v, claim.mode);
      } else {
        Move(index, v, claim, transforms_.at(claim.mesh));
        const tinygltf::Accessor& a = *v.a;
        if (!a.minValues.empty() && !a.maxValues.empty()) {
          const JsonObject& o =
              ObjectIn(layout, "accessors", static_cast<std::size_t>(index), path_);
          Bounds(v, o, edits);
        }
      }
      if (v.lanes.buffer >= 0) changed.insert(v.lanes.buffer);
      if (v.sparse) changed.insert(v.part.values.buffer);
    }
  }

 private:
  void Take(int accessor, Kind kind, int mesh, std::size_t components, int mode = 0) {
    const auto it = claims_.find(accessor);
    if (it != claims_.end()) {
      const Claim& was = it->second;
      if (was.kind == kind && was.mode == mode &&
          Near(transforms_.at(was.mesh), transforms_.at(mesh)))
        return;
      Refuse(path_, Numbered(text::kGltfAccessor, accessor).Say(text::kGltfUsedTwoWays));
    }
    View v = kind == Kind::indices ? Check(m_, accessor, size_, path_)
                                   : CheckFloats(m_, accessor, components, size_, path_,
                                                 kind == Kind::point     ? "POSITION"
                                                 : kind == Kind::tangent ? "TANGENT"
                                                                         : "NORMAL");
    claims_[accessor] = {kind, mesh, mode};
    views_.emplace(accessor, std::move(v));
  }

  void ClaimMesh(int mesh) {
    for (const tinygltf::Primitive& p : m_.meshes[static_cast<std::size_t>(mesh)].primitives) {
      const int position = AttributeOf(p.attributes, "POSITION");
      const int normal = AttributeOf(p.attributes, "NORMAL");
      const int tangent = AttributeOf(p.attributes, "TANGENT");
      if (position >= 0) Take(position, Kind::point, mesh, 3);
      if (normal >= 0) Take(normal, Kind::normal, mesh, 3);
      if (tangent >= 0) Take(tangent, Kind::tangent, mesh, 4);
      for (const auto& target : p.targets) {
        const int dp = AttributeOf(target, "POSITION");
        const int dn = AttributeOf(target, "NORMAL");
        const int dt = AttributeOf(target, "TANGENT");
        if (dp >= 0) Take(dp, Kind::vector, mesh, 3);
        if (dn >= 0) Take(dn, Kind::normal_delta, mesh, 3);
        if (dt >= 0) Take(dt, Kind::vector, mesh, 3);
      }
      const int mode = ModeOf(p);
      if (mirror_ && IsTriangleMode(mode)) {
        if (p.indices < 0) {
          Refuse(path_, MeshName(m_, mesh).Say(text::kGltfNoIndicesMirror));
        }
        Take(p.indices, Kind::indices, mesh, 1, mode);
      }
    }
  }

  // The elements of one run of lanes, moved in place.
  void MoveLanes(const Lanes& l, std::size_t components, Kind kind, const Matrix4& c) {
    if (l.buffer < 0) return;
    unsigned char* data = m_.buffers[static_cast<std::size_t>(l.buffer)].data.data() + l.offset;
    const Eigen::Matrix3d normal_map = c.linear().inverse().transpose();
    const double handedness = c.linear().determinant() < 0 ? -1.0 : 1.0;
    for (std::size_t i = 0; i < l.count; ++i) {
      float f[4] = {0, 0, 0, 0};
      std::memcpy(f, data + i * l.stride, components * sizeof(float));
      const Vector3 v(f[0], f[1], f[2]);
      Vector3 r = Vector3::Zero();
      switch (kind) {
        case Kind::point:
          r = geometry::TransformPoint(c, v);
          break;
        case Kind::vector:
          r = c.linear() * v;
          break;
        case Kind::normal_delta:
          r = normal_map * v;
          break;
        case Kind::normal:
          r = normal_map * v;
          if (r.norm() > 0) r.normalize();
          break;
        case Kind::tangent:
          r = c.linear() * v;
          if (r.norm() > 0) r.normalize();
          f[3] = static_cast<float>(f[3] * handedness);
          break;
        case Kind::indices:
          return;
      }
      const bool finite = v.allFinite();
      for (int k = 0; k < 3; ++k) {
        f[k] = static_cast<float>(r[k]);
        if (finite && !std::isfinite(f[k])) {
          Refuse(path_, text::Message().Say(text::kGltfFloatRange));
        }
      }
      std::memcpy(data + i * l.stride, f, components * sizeof(float));
    }
  }

  void Move(int index, const View& v, const Claim& claim, const Matrix4& c) {
    if (v.lanes.buffer < 0 && claim.kind == Kind::point && c.translation().norm() > 0) {
      Refuse(path_, Numbered(text::kGltfPositionAccessor, index).Say(text::kGltfNoDataInPlace));
    }
    MoveLanes(v.lanes, v.components, claim.kind, c);
    if (v.sparse) MoveLanes(v.part.values, v.components, claim.kind, c);
  }

  // New min/max from the moved values, written as the floats they are.
  void Bounds(const View& v, const JsonObject& o, std::vector<Edit>& edits) {
    const std::vector<float> values = ReadFloats(m_, v);
    const std::size_t n = v.components;
    // The floats' exact values, as doubles: equal to the data whichever
    // precision a reader compares in.
    std::vector<double> lo(n, std::numeric_limits<double>::infinity());
    std::vector<double> hi(n, -std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < values.size(); ++i) {
      lo[i % n] = std::min(lo[i % n], static_cast<double>(values[i]));
      hi[i % n] = std::max(hi[i % n], static_cast<double>(values[i]));
    }
    if (values.empty()) return;
    SetKey(edits, o, "min", NumberArray(lo.data(), n));
    SetKey(edits, o, "max", NumberArray(hi.data(), n));
  }

  // Reverses the winding of a primitive's triangles in its index data.
  void Rewind(const View& v, int mode) {
    if (v.sparse || v.lanes.buffer < 0) {
      Refuse(path_, text::Message().Say(text::kGltfIndexNoPlain));
    }
    std::vector<std::uint32_t> idx = ReadIndices(m_, v, path_);
    const std::size_t n = idx.size();
    if (mode == TINYGLTF_MODE_TRIANGLES) {
      for (std::size_t i = 0; i + 2 < n; i += 3) std::swap(idx[i + 1], idx[i + 2]);
    } else if (mode == TINYGLTF_MODE_TRIANGLE_FAN) {
      if (n > 1) std::reverse(idx.begin() + 1, idx.end());
    } else if (n % 2 == 1) {
      std::reverse(idx.begin(), idx.end());
    } else {
      Refuse(path_, text::Message().Say(text::kGltfEvenStrip));
    }
    unsigned char* data =
        m_.buffers[static_cast<std::size_t>(v.lanes.buffer)].data.data() + v.lanes.offset;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t k = idx[i];
      if (v.lanes.size == 1) {
        data[i * v.lanes.stride] = static_cast<unsigned char>(k);
      } else if (v.lanes.size == 2) {
        const auto s = static_cast<std::uint16_t>(k);
        std::memcpy(data + i * v.lanes.stride, &s, 2);
      } else {
        std::memcpy(data + i * v.lanes.stride, &k, 4);
      }
    }
  }

  tinygltf::Model& m_;
  std::size_t size_;
  const std::string& path_;
  Matrix4 motion_;
  bool mirror_ = false;
  std::map<int, Matrix4> transforms_;  // mesh -> its local motion
  std::map<int, Claim> claims_;        // accessor -> how it moves
  std::map<int, View> views_;
};

// --- Putting the motion into the root nodes -------------------------------

void MoveRootNodes(const tinygltf::Model& m, const JsonLayout& layout, const Matrix4& motion,
                   const std::string& path, std::vector<Edit>& edits) {
  std::set<int> done;
  for (const int r : SceneRoots(m)) {
    if (r < 0 || static_cast<std::size_t>(r) >= m.nodes.size()) {
      Refuse(path, Numbered(text::kGltfNode, r).Say(text::kGltfNotExist));
    }
    if (!done.insert(r).second) continue;
    for (const tinygltf::Animation& a : m.animations) {
      for (const tinygltf::AnimationChannel& ch : a.channels) {
        if (ch.target_node == r && ch.target_path != "weights") {
          Refuse(path, Numbered(text::kGltfRootNode, r).Say(text::kGltfAnimated));
        }
      }
    }
    const tinygltf::Node& n = m.nodes[static_cast<std::size_t>(r)];
    const JsonObject& o = ObjectIn(layout, "nodes", static_cast<std::size_t>(r), path);
    if (n.matrix.size() == 16) {
      const Matrix4 moved = motion * LocalMatrix(n);
      std::array<double, 16> v{};
      for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row)
          v[static_cast<std::size_t>(c * 4 + row)] = moved.matrix()(row, c);
      }
      SetKey(edits, o, "matrix", NumberArray(v.data(), 16));
      continue;
    }
    // A similarity (uniform scale, rotation, perhaps a mirror as a negative
    // scale) keeps translation, rotation and scale apart.
    const Eigen::Matrix3d l = motion.linear();
    const double sigma = std::cbrt(l.determinant());
    const Eigen::Matrix3d q = l / sigma;
    const bool similar =
        std::isfinite(sigma) && sigma != 0 &&
        (q.transpose() * q - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() < 1e-9;
    const bool has_trs = !n.translation.empty() || !n.rotation.empty() || !n.scale.empty();
    if (!similar) {
      if (has_trs) {
        Refuse(path, text::Message()
                         .Say(text::kGltfNotSimilarity)
                         .Own(std::to_string(r))
                         .Say(text::kGltfNotSimilarityEnd));
      }
      std::array<double, 16> v{};
      for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row)
          v[static_cast<std::size_t>(c * 4 + row)] = motion.matrix()(row, c);
      }
      SetKey(edits, o, "matrix", NumberArray(v.data(), 16));
      continue;
    }
    const Vector3 t0 = n.translation.size() == 3
                           ? Vector3(n.translation[0], n.translation[1], n.translation[2])
                           : Vector3::Zero();
    Eigen::Quaterniond r0 = Eigen::Quaterniond::Identity();
    if (n.rotation.size() == 4)
      r0 = Eigen::Quaterniond(n.rotation[3], n.rotation[0], n.rotation[1], n.rotation[2]);
    const Vector3 s0 =
        n.scale.size() == 3 ? Vector3(n.scale[0], n.scale[1], n.scale[2]) : Vector3::Ones();
    const Vector3 t = geometry::TransformPoint(motion, t0);
    Eigen::Quaterniond rq = Eigen::Quaterniond(q) * r0;
    rq.normalize();
    const Vector3 s = sigma * s0;
    const double tv[3] = {t.x(), t.y(), t.z()};
    const double rv[4] = {rq.x(), rq.y(), rq.z(), rq.w()};
    const double sv[3] = {s.x(), s.y(), s.z()};
    int added = 0;
    if (!t.isZero(0) || !n.translation.empty())
      SetKey(edits, o, "translation", NumberArray(tv, 3), &added);
    if (!rq.coeffs().isApprox(Eigen::Quaterniond::Identity().coeffs(), 0) || !n.rotation.empty())
      SetKey(edits, o, "rotation", NumberArray(rv, 4), &added);
    if (!s.isOnes(0) || !n.scale.empty()) SetKey(edits, o, "scale", NumberArray(sv, 3), &added);
  }
}

std::string OutputStem(const std::string& output) {
  const std::string name = FilePart(output);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

GltfReplay TransformGltf(std::string_view bytes, const std::string& input,
                         const std::string& output, const geometry::Matrix4& m,
                         GltfMotionTarget target, const GltfFileReader& read) {
  Document d = Parse(bytes, input, read);
  // A file the measuring would refuse is not replayed either.
  const std::uint64_t vertices = Collect(d.model, bytes.size(), input, nullptr);
  const JsonLayout layout(d.json);
  std::vector<Edit> edits;
  std::set<int> changed;
  if (target == GltfMotionTarget::vertices) {
    Baker(d, bytes.size(), input, m).Run(changed, edits, layout);
  } else {
    MoveRootNodes(d.model, layout, m, input, edits);
  }

  GltfReplay out;
  out.vertices = vertices;
  out.files.push_back({output, {}});
  std::string bin;  // a GLB's BIN chunk data, as written
  if (d.glb && d.container.hasBin)
    bin = std::string(bytes.substr(d.container.binBegin, d.container.binSize));
  int glb_buffers_changed = 0;
  std::size_t external_changed = 0;
  for (const int b : changed)
    external_changed += d.bufferPaths[static_cast<std::size_t>(b)].empty() ? 0u : 1u;
  for (std::size_t b = 0; b < d.model.buffers.size(); ++b) {
    const tinygltf::Buffer& buffer = d.model.buffers[b];
    const bool moved = changed.count(static_cast<int>(b)) != 0;
    if (!d.bufferPaths[b].empty()) out.inputFiles.push_back(d.bufferPaths[b]);
    if (!moved) {
      if (!d.bufferPaths[b].empty()) out.relativeReferences.push_back(buffer.uri);
      continue;
    }
    if (buffer.uri.empty()) {
      // The GLB's own buffer: its bytes in the BIN chunk, the rest of the chunk kept.
      if (++glb_buffers_changed > 1 || buffer.data.size() > bin.size()) {
        Refuse(input, text::Message().Say(text::kGltfSeveralBin));
      }
      std::memcpy(bin.data(), buffer.data.data(), buffer.data.size());
      continue;
    }
    const JsonObject& o = ObjectIn(layout, "buffers", b, input);
    if (IsDataUri(buffer.uri)) {
      const std::size_t comma = buffer.uri.find(',');
      SetKey(edits, o, "uri", JsonString(buffer.uri.substr(0, comma + 1) + Base64(buffer.data)));
      continue;
    }
    const std::string name =
        OutputStem(output) + (external_changed > 1 ? "_" + std::to_string(b) : "") + ".bin";
    SetKey(edits, o, "uri", JsonString(PercentEncoded(name)));
    out.files.push_back(
        {DirectoryPart(output) + name,
         std::string(reinterpret_cast<const char*>(buffer.data.data()), buffer.data.size())});
  }
  for (const tinygltf::Image& image : d.model.images) {
    if (!image.uri.empty() && !IsDataUri(image.uri)) out.relativeReferences.push_back(image.uri);
  }

  std::string json = Edited(d.json, std::move(edits));
  if (!d.glb) {
    out.files[0].bytes = std::move(json);
    return out;
  }
  while (json.size() % 4 != 0) json += ' ';
  std::string& glb = out.files[0].bytes;
  glb.reserve(bytes.size() + json.size());
  glb.append(bytes.substr(0, 12));
  glb.append(8, '\0');
  PutU32(glb, 12, static_cast<std::uint32_t>(json.size()));
  PutU32(glb, 16, kJsonChunk);
  glb += json;
  const std::size_t rest = d.container.jsonBegin + d.container.jsonSize;
  if (d.container.hasBin) {
    glb.append(bytes.substr(rest, 8));
    glb += bin;
    glb.append(bytes.substr(d.container.binBegin + d.container.binSize,
                            d.container.end - d.container.binBegin - d.container.binSize));
  } else {
    glb.append(bytes.substr(rest, d.container.end - rest));
  }
  if (glb.size() > std::numeric_limits<std::uint32_t>::max())
    Refuse(input, text::Message().Say(text::kGltfOver4GResult));
  PutU32(glb, 8, static_cast<std::uint32_t>(glb.size()));
  glb.append(bytes.substr(d.container.end));  // whatever followed the container
  return out;
}

}  // namespace korvane::obj
