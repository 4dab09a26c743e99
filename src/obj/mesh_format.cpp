#include "obj/mesh_format.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "obj/gltf_mesh.h"
#include "obj/ply_mesh.h"
#include "obj/stl_mesh.h"
#include "platform/file_io.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/format_words.h"

namespace korvane::obj {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The extension of a path's last part, lower case, without the dot.
std::string Extension(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Many control bytes: not text (an OBJ with a stray NUL byte still reads as text).
bool LooksBinary(std::string_view s) {
  std::size_t control = 0;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') || c == 0x7f)
      ++control;
  }
  return control * 16 > s.size();
}

std::string_view SkipSpace(std::string_view s) {
  std::size_t k = 0;
  while (k < s.size() && (s[k] == ' ' || s[k] == '\t' || s[k] == '\r' || s[k] == '\n')) ++k;
  return s.substr(k);
}

// A binary STL: an 80-byte header, a little-endian triangle count, 50 bytes a triangle.
bool BinaryStlSize(std::string_view head, std::uint64_t size) {
  if (size < 84 || head.size() < 84) return false;
  std::uint32_t count = 0;
  for (int k = 3; k >= 0; --k)
    count = (count << 8) | static_cast<unsigned char>(head[80 + static_cast<std::size_t>(k)]);
  return size == 84 + std::uint64_t{50} * count;
}

// What a file that is not a mesh of ours looks like, by its first bytes (or
// else its extension); empty when nothing says.
text::Phrase LooksLike(std::string_view head, std::string_view words, const std::string& ext) {
  struct Sign {
    std::string_view bytes;
    text::Phrase name;
  };
  static const Sign kBinary[] = {
      {"Kaydara FBX Binary", text::kLooksBinaryFbx},
      {std::string_view("\x89PNG", 4), text::kLooksPng},
      {std::string_view("\xff\xd8\xff", 3), text::kLooksJpeg},
      {"%PDF", text::kLooksPdf},
      {std::string_view("\x1f\x8b", 2), text::kLooksGzip},
      {"BZh", text::kLooksBzip2},
      {std::string_view("7z\xbc\xaf", 4), text::kLooks7z},
      {std::string_view("\xfd"
                        "7zXZ",
                        5),
       text::kLooksXz},
      {"Rar!", text::kLooksRar},
      {std::string_view("\x7f"
                        "ELF",
                        4),
       text::kLooksElf},
      {"BLENDER", text::kLooksBlend},
      {"draco", text::kLooksDracoMesh},
  };
  for (const Sign& s : kBinary) {
    if (StartsWith(head, s.bytes)) return s.name;
  }
  if (StartsWith(head, std::string_view("PK\x03\x04", 4))) {
    if (ext == "3mf") return text::kLooks3mfZip;
    if (ext == "usdz") return text::kLooksUsdzZip;
    return text::kLooksZip;
  }
  static const Sign kText[] = {
      {"; FBX", text::kLooksTextFbx},     {"#VRML", text::kLooksVrml},
      {"ISO-10303-21", text::kLooksStep}, {"#usda", text::kLooksUsdText},
      {"OFF", text::kLooksOff},           {"COFF", text::kLooksOff},
      {"NOFF", text::kLooksOff},          {"xof ", text::kLooksDirectX},
  };
  for (const Sign& s : kText) {
    if (StartsWith(words, s.bytes)) return s.name;
  }
  if (StartsWith(words, "<")) {
    if (words.find("COLLADA") != std::string_view::npos) return text::kLooksCollada;
    if (words.find("<amf") != std::string_view::npos) return text::kLooksAmf;
    if (words.find("<X3D") != std::string_view::npos) return text::kLooksX3d;
    if (words.find("<model") != std::string_view::npos) return text::kLooks3mfModel;
    return text::kLooksXml;
  }
  if (StartsWith(words, "{")) return text::kLooksJson;
  static const Sign kExtensions[] = {
      {"fbx", text::kLooksFbx},   {"3mf", text::kLooks3mf},       {"dae", text::kLooksColladaName},
      {"3ds", text::kLooks3ds},   {"blend", text::kLooksBlender}, {"max", text::kLooksMax},
      {"usd", text::kLooksUsd},   {"usdc", text::kLooksUsd},      {"abc", text::kLooksAlembic},
      {"step", text::kLooksStep}, {"stp", text::kLooksStep},      {"iges", text::kLooksIges},
      {"igs", text::kLooksIges},  {"drc", text::kLooksDraco},     {"off", text::kLooksOff},
  };
  for (const Sign& s : kExtensions) {
    if (ext == s.bytes) return s.name;
  }
  return {"", ""};
}

}  // namespace

text::Phrase MeshFormatWords(MeshFormat format) {
  if (format == MeshFormat::stl_binary) return text::kBinaryStlName;
  const char* name = MeshFormatName(format);
  return {name, name};
}

const char* MeshFormatName(MeshFormat format) {
  switch (format) {
    case MeshFormat::obj:
      return "OBJ";
    case MeshFormat::stl_binary:
      return "binary STL";
    case MeshFormat::stl_ascii:
      return "ASCII STL";
    case MeshFormat::ply:
      return "PLY";
    case MeshFormat::gltf:
      return "glTF";
    case MeshFormat::glb:
      return "GLB";
    case MeshFormat::unknown:
      break;
  }
  return "unknown";
}

DetectedFormat DetectMeshFormat(std::string_view head, std::uint64_t size, std::string_view path) {
  const std::string ext = Extension(path);
  std::string_view text = head;
  if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  // UTF-16 text: the OBJ reader refuses it in its own words.
  if (StartsWith(head, "\xFF\xFE") || StartsWith(head, "\xFE\xFF")) return {MeshFormat::obj, {}};
  if (StartsWith(head, "ply\n") || StartsWith(head, "ply\r\n")) return {MeshFormat::ply, {}};
  if (StartsWith(head, "glTF")) return {MeshFormat::glb, {}};
  const std::string_view trimmed = SkipSpace(text);
  // A binary STL header may itself begin with "solid": a size that matches the
  // count decides, unless the text reads as facets without a single NUL byte
  // (a binary STL's records hardly go 4 KB without one).
  const bool solid = StartsWith(trimmed, "solid") &&
                     (trimmed.size() == 5 || std::isspace(static_cast<unsigned char>(trimmed[5])));
  if (BinaryStlSize(head, size)) {
    const bool ascii = solid && head.find('\0') == std::string_view::npos &&
                       trimmed.find("facet") != std::string_view::npos;
    return {ascii ? MeshFormat::stl_ascii : MeshFormat::stl_binary, {}};
  }
  if (solid && !LooksBinary(head)) return {MeshFormat::stl_ascii, {}};
  if (StartsWith(trimmed, "{") &&
      (trimmed.find("\"asset\"") != std::string_view::npos || ext == "gltf"))
    return {MeshFormat::gltf, {}};
  const text::Phrase looks = LooksLike(head, trimmed, ext);
  if (!looks.english.empty()) return {MeshFormat::unknown, looks};
  // Binary data named .stl is a binary STL whose size does not match its
  // count: the STL reader says so precisely.
  if (ext == "stl" && (LooksBinary(head) || (size < 84 && !solid))) {
    return {MeshFormat::stl_binary, {}};
  }
  // Nothing in an empty or binary file says what it is: its name's reader explains.
  if (head.empty() || LooksBinary(head)) {
    if (ext == "ply") return {MeshFormat::ply, {}};
    if (ext == "gltf") return {MeshFormat::gltf, {}};
    if (ext == "glb") return {MeshFormat::glb, {}};
  }
  if (LooksBinary(head)) return {MeshFormat::unknown, text::kLooksBinaryData};
  return {MeshFormat::obj, {}};
}

DetectedFormat DetectMeshFile(const std::string& path) {
  platform::InputFile in;
  if (!in.Open(path)) {
    throw Error(Error::Kind::cannot_open, text::Message().Say(text::kCannotOpen).Host(path), path);
  }
  return DetectMeshFormat(in.Peek(kDetectBytes), in.Size(), path);
}

MeshFormat CheckedMeshFormat(const std::string& path) {
  const DetectedFormat f = DetectMeshFile(path);
  if (f.format == MeshFormat::unknown) {
    throw Error(
        Error::Kind::refused,
        text::Message().Host(path).Say(text::kLooksLike).Say(f.looksLike).Say(text::kNotAMesh),
        path);
  }
  return f.format;
}

void ReadMesh(const std::string& path, Mesh& mesh, bool faces, const StreamOptions& options,
              SkippedFaces* skipped) {
  mesh = Mesh();
  const MeshFormat format = CheckedMeshFormat(path);
  switch (format) {
    case MeshFormat::obj:
      if (faces) {
        LoadObjMesh(path, mesh, options, skipped);
      } else {
        LoadObjVertices(path, mesh.vertices, options);
      }
      return;
    case MeshFormat::stl_binary:
    case MeshFormat::stl_ascii:
      ReadStlMesh(path, format == MeshFormat::stl_binary, mesh, options);
      break;
    case MeshFormat::ply:
      ReadPlyMesh(path, mesh, faces, options);
      break;
    case MeshFormat::gltf:
    case MeshFormat::glb:
      ReadGltfMesh(path, format == MeshFormat::glb, mesh, faces);
      break;
    case MeshFormat::unknown:
      break;
  }
  if (!faces) std::vector<geometry::Triangle>().swap(mesh.triangles);
}

Mesh ReadMesh(const std::string& path) {
  Mesh mesh;
  ReadMesh(path, mesh, true);
  return mesh;
}

void ReadMeshTriangles(const std::string& path, std::vector<geometry::Triangle>& triangles,
                       std::size_t most) {
  if (CheckedMeshFormat(path) == MeshFormat::obj) {
    LoadObjTriangles(path, triangles, most);
    return;
  }
  Mesh mesh;
  ReadMesh(path, mesh, true);
  triangles.swap(mesh.triangles);
  if (most == 0 || triangles.size() < 2 * most) return;
  // Every k-th, k a power of two, as the OBJ sample keeps them.
  std::size_t stride = 1;
  while (triangles.size() / stride >= 2 * most) stride *= 2;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < triangles.size(); k += stride) triangles[kept++] = triangles[k];
  triangles.resize(kept);
}

void CheckOutputFormat(const std::string& input, MeshFormat format, const std::string& output) {
  if (output == platform::StandardOutputName() || output == "-") return;
  const std::string ext = Extension(output);
  if (ext.empty()) return;
  const auto family = [](const std::string& e) -> int {
    if (e == "obj") return 1;
    if (e == "stl") return 2;
    if (e == "ply") return 3;
    if (e == "gltf") return 4;
    if (e == "glb") return 5;
    return 0;
  };
  int wanted = 0;
  switch (format) {
    case MeshFormat::obj:
      wanted = 1;
      break;
    case MeshFormat::stl_binary:
    case MeshFormat::stl_ascii:
      wanted = 2;
      break;
    case MeshFormat::ply:
      wanted = 3;
      break;
    case MeshFormat::gltf:
      wanted = 4;
      break;
    case MeshFormat::glb:
      wanted = 5;
      break;
    case MeshFormat::unknown:
      return;
  }
  const int named = family(ext);
  // An OBJ may be written under any name but another mesh format's (as it always could).
  if (named == wanted || (wanted == 1 && named == 0)) return;
  throw Error(Error::Kind::refused,
              text::Message()
                  .Host(output)
                  .Say(text::kOtherFormat)
                  .Host(input)
                  .Say(text::kOtherFormatOf)
                  .Say(MeshFormatWords(format))
                  .Say(text::kOwnFormat)
                  .Own(wanted == 1   ? "obj"
                       : wanted == 2 ? "stl"
                       : wanted == 3 ? "ply"
                       : wanted == 4 ? "gltf"
                                     : "glb")
                  .Say(text::kOwnFormatEnd),
              output);
}

void ReplayMeshFile(const std::string& input, const std::string& output, const geometry::Matrix4& m,
                    const StreamOptions& options, ReplayCounts* counts, const ReplayStyle& style,
                    const std::function<void(const ReplayCounts&)>& vet) {
  const MeshFormat format = CheckedMeshFormat(input);
  CheckOutputFormat(input, format, output);
  switch (format) {
    case MeshFormat::obj:
      TransformObjFile(input, output, m, options, counts, style, vet);
      return;
    case MeshFormat::stl_binary:
    case MeshFormat::stl_ascii:
      ReplayStlFile(input, format == MeshFormat::stl_binary, output, m, options, style, counts,
                    vet);
      return;
    case MeshFormat::ply:
      ReplayPlyFile(input, output, m, options, style, counts, vet);
      return;
    case MeshFormat::gltf:
    case MeshFormat::glb:
      ReplayGltfFile(input, format == MeshFormat::glb, output, m, style, counts, vet);
      return;
    case MeshFormat::unknown:
      return;
  }
}

}  // namespace korvane::obj
