#include "obj/stl_mesh.h"

#include <algorithm>
#include <limits>

#include "obj/block_pipeline.h"
#include "obj/mesh_io.h"
#include "platform/file_io.h"
#include "platform/workers.h"
#include "text/error.h"
#include "text/format_words.h"

namespace korvane::obj {
namespace {

constexpr std::size_t kHeader = 84;
constexpr std::size_t kRecord = 50;
constexpr std::size_t kRecordsAtOnce = std::size_t{1} << 16;
constexpr double kFloatMax = std::numeric_limits<float>::max();

// Opens a binary STL and reads its header; `count` is checked against the size.
std::uint32_t OpenBinary(platform::InputFile& in, const std::string& path, char* header) {
  OpenMeshFile(in, path);
  const std::uint64_t size = in.Size();
  if (ReadFully(in, header, kHeader) < kHeader) {
    ThrowBadFile(path, text::Message()
                           .Say(text::kStlTooShort)
                           .Own(std::to_string(size))
                           .Say(text::kStlTooShortEnd));
  }
  const std::uint32_t count = Load32(reinterpret_cast<const unsigned char*>(header) + 80, false);
  const std::uint64_t need = kHeader + kRecord * std::uint64_t{count};
  if (size < need) {
    ThrowBadFile(path, text::Message()
                           .Say(text::kStlCounts)
                           .Own(std::to_string(count))
                           .Say(text::kStlCountsBytes)
                           .Own(std::to_string(need))
                           .Say(text::kStlCountsHas)
                           .Own(std::to_string(size))
                           .Say(text::kStlCountsCut));
  }
  return count;
}

geometry::Vector3 Corner(const unsigned char* p) {
  return {LoadFloat(p, false), LoadFloat(p + 4, false), LoadFloat(p + 8, false)};
}

void ReadBinary(const std::string& path, Mesh& mesh) {
  platform::InputFile in;
  char header[kHeader];
  const std::uint32_t count = OpenBinary(in, path, header);
  mesh.vertices.reserve(count / 2 + 3);
  mesh.triangles.reserve(count);
  Welder weld(mesh.vertices, count / 2 + 3);
  std::vector<char> block(kRecord * std::min<std::size_t>(count, kRecordsAtOnce));
  for (std::uint32_t done = 0; done < count;) {
    const std::size_t n = std::min<std::size_t>(count - done, kRecordsAtOnce);
    CheckNotStopped(path);
    if (ReadFully(in, block.data(), n * kRecord) < n * kRecord) {
      ThrowBadFile(path, text::Message().Say(text::kStlEndedEarly));
    }
    for (std::size_t k = 0; k < n; ++k) {
      const auto* r = reinterpret_cast<const unsigned char*>(block.data()) + k * kRecord;
      mesh.triangles.push_back(
          {weld.Index(Corner(r + 12)), weld.Index(Corner(r + 24)), weld.Index(Corner(r + 36))});
    }
    done += static_cast<std::uint32_t>(n);
  }
}

enum class Key : std::uint8_t { other, facet, vertex, endloop, endfacet, endsolid };

// The keyword a line starts with, in any case.
Key KeyOf(std::string_view token) {
  static constexpr std::pair<std::string_view, Key> kKeys[] = {{"vertex", Key::vertex},
                                                               {"facet", Key::facet},
                                                               {"endloop", Key::endloop},
                                                               {"endfacet", Key::endfacet},
                                                               {"endsolid", Key::endsolid}};
  for (const auto& [name, key] : kKeys) {
    if (token.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i)
      same = (token[i] | 0x20) == name[i];  // ASCII letters in either case
    if (same) return key;
  }
  return Key::other;
}

bool ReadTriple(const std::string_view* t, geometry::Vector3& p) {
  return TokenNumber(t[0], p.x()) && TokenNumber(t[1], p.y()) && TokenNumber(t[2], p.z());
}

void ReadAscii(const std::string& path, Mesh& mesh) {
  platform::InputFile in;
  OpenMeshFile(in, path);
  // About 250 bytes a facet, half a vertex each: a guess for the table only.
  Welder weld(mesh.vertices, static_cast<std::size_t>(
                                 std::min<std::uint64_t>(in.Size() / 500, std::uint64_t{1} << 24)));
  RawLines lines(in, path);
  std::vector<std::uint32_t> loop;
  std::uint64_t loop_line = 0;
  const auto close = [&] {
    if (loop.empty()) return;
    if (loop.size() < 3) {
      ThrowBadLine(path, loop_line,
                   text::Message()
                       .Say(text::kFacetCorners)
                       .Own(std::to_string(loop.size()))
                       .Say(text::kFacetCornersEnd));
    }
    for (std::size_t k = 1; k + 1 < loop.size(); ++k)
      mesh.triangles.push_back({loop[0], loop[k], loop[k + 1]});
    loop.clear();
  };
  std::string_view line;
  std::string_view t[5];
  while (lines.Next(line)) {
    const std::size_t n = Tokens(line, t, 5);
    if (n == 0) continue;
    const Key key = KeyOf(t[0]);
    if (key == Key::vertex) {
      geometry::Vector3 p;
      if (n < 4 || !ReadTriple(t + 1, p)) {
        ThrowBadLine(path, lines.line(), text::Message().Say(text::kVertexThree));
      }
      if (loop.empty()) loop_line = lines.line();
      loop.push_back(weld.Index(p));
    } else if (key != Key::other) {
      close();
    }
  }
  close();
}

// The numbers of token `first` and the two after it replaced by `v`, every
// other byte of the line kept.
void Rewrite(std::string& out, std::string_view line, std::size_t first, const geometry::Vector3& v,
             const NumberStyle& style) {
  std::string_view t[8];
  const std::size_t n = Tokens(line, t, first + 3);
  std::size_t at = 0;
  for (std::size_t k = first; k < n && k < first + 3; ++k) {
    const auto start = static_cast<std::size_t>(t[k].data() - line.data());
    out.append(line.substr(at, start - at));
    AppendNumber(out, v[static_cast<Eigen::Index>(k - first)], style, HasExponent(t[k]));
    at = start + t[k].size();
  }
  out.append(line.substr(at));
}

// The significant digits of the positions' and the normals' numbers.
void ScanDigits(const std::string& path, int& positions, int& normals) {
  platform::InputFile in;
  OpenMeshFile(in, path);
  RawLines lines(in, path);
  std::string_view line;
  std::string_view t[5];
  while (lines.Next(line)) {
    const std::size_t n = Tokens(line, t, 5);
    if (n == 0) continue;
    const Key key = KeyOf(t[0]);
    if (key == Key::vertex) {
      for (std::size_t k = 1; k < n; ++k) positions = std::max(positions, SignificantDigits(t[k]));
    } else if (key == Key::facet) {
      for (std::size_t k = 2; k < n; ++k) normals = std::max(normals, SignificantDigits(t[k]));
    }
  }
}

// False when a number carries more digits than `digits` had: start again.
bool ReplayAscii(const std::string& input, const std::string& output, const MeshMotion& motion,
                 const ReplayStyle& style, ReplayCounts& counts,
                 const std::function<void(const ReplayCounts&)>& vet, TextDigits& digits) {
  const NumberStyle positions = NumberStyleOf(style, digits.positions);
  const NumberStyle normals = NumberStyleOf(style, digits.normals);
  platform::InputFile in;
  OpenMeshFile(in, input);
  platform::AtomicOutput out(output);
  RawLines lines(in, input);
  // A facet is held until its end, as its corners may be listed the other way round.
  std::string facet;
  std::vector<std::size_t> ends;  // of the held lines in `facet`
  std::vector<Key> keys;          // of the held lines
  bool has_normal = false;
  geometry::Vector3 normal_turned;
  std::vector<std::size_t> corners;
  std::vector<geometry::Vector3> moved;
  std::uint64_t facet_line = 0;
  std::string text;
  const auto flush = [&]() -> bool {
    if (moved.size() < 3) {
      ThrowBadLine(input, facet_line,
                   text::Message()
                       .Say(text::kFacetCorners)
                       .Own(std::to_string(moved.size()))
                       .Say(text::kFacetCornersEnd));
    }
    text.clear();
    std::size_t begin = 0, corner = 0;
    const std::size_t count = moved.size();
    for (std::size_t k = 0; k < ends.size(); ++k) {
      const std::string_view line(facet.data() + begin, ends[k] - begin);
      if (keys[k] == Key::vertex) {
        // Under a mirror the first corner stays first and the rest turn round.
        const std::size_t from = motion.mirrors && corner > 0 ? count - corner : corner;
        Rewrite(text, line, 1, moved[from], positions);
        ++corner;
      } else if (keys[k] == Key::facet && has_normal) {
        Rewrite(text, line, 2, normal_turned, normals);
      } else {
        text.append(line);
      }
      begin = ends[k];
    }
    out.Write(text);
    facet.clear();
    ends.clear();
    keys.clear();
    moved.clear();
    return true;
  };
  bool inside = false;
  std::string_view line;
  std::string_view t[5];
  while (lines.Next(line)) {
    const std::size_t n = Tokens(line, t, 5);
    const Key key = n > 0 ? KeyOf(t[0]) : Key::other;
    if (key == Key::facet) {
      if (inside && !flush()) return false;
      inside = true;
      facet_line = lines.line();
      has_normal = n >= 5;
      if (has_normal) {
        bool again = false;
        for (std::size_t i = 2; i < 5; ++i)
          again = digits.Raise(digits.normals, t[i], normals) || again;
        if (again) return false;
        geometry::Vector3 normal;
        if (!ReadTriple(t + 2, normal)) {
          ThrowBadLine(input, facet_line, text::Message().Say(text::kNormalThree));
        }
        normal_turned = motion.Normal(normal);
      }
    }
    if (!inside) {
      out.Write(line);
      continue;
    }
    if (key == Key::vertex) {
      geometry::Vector3 p;
      if (n < 4 || !ReadTriple(t + 1, p)) {
        ThrowBadLine(input, lines.line(), text::Message().Say(text::kVertexThree));
      }
      bool again = false;
      for (std::size_t i = 1; i < 4; ++i)
        again = digits.Raise(digits.positions, t[i], positions) || again;
      if (again) return false;
      const geometry::Vector3 q = motion.Point(p);
      CheckMovedInRange(p, q, std::numeric_limits<double>::max(), input, lines.line());
      moved.push_back(q);
      ++counts.vertices;
    }
    facet.append(line);
    ends.push_back(facet.size());
    keys.push_back(key);
    if (key == Key::endfacet) {
      if (!flush()) return false;
      inside = false;
    }
  }
  if (inside) ThrowBadLine(input, facet_line, text::Message().Say(text::kEndsInFacet));
  if (vet) vet(counts);
  out.Commit();
  return true;
}

void ReplayBinary(const std::string& input, const std::string& output, const MeshMotion& motion,
                  const StreamOptions& options, ReplayCounts& counts,
                  const std::function<void(const ReplayCounts&)>& vet) {
  platform::InputFile in;
  char header[kHeader];
  const std::uint32_t count = OpenBinary(in, input, header);
  platform::AtomicOutput out(output);
  out.Write(std::string_view(header, kHeader));
  const auto threads = static_cast<unsigned>(StreamThreads(options.threads));
  const std::size_t per_block =
      options.block != 0 ? std::max<std::size_t>(1, options.block / kRecord) : kRecordsAtOnce;
  const std::size_t block_count = (std::size_t{count} + per_block - 1) / per_block;
  const auto records_in = [&](std::size_t k) {
    return std::min<std::size_t>(count - k * per_block, per_block);
  };
  std::vector<std::vector<unsigned char>> slots(threads);
  RecordBlocks blocks;
  blocks.read = [&](std::size_t k, std::size_t slot) {
    if (k == block_count) return false;
    CheckNotStopped(input);
    std::vector<unsigned char>& data = slots[slot];
    data.resize(records_in(k) * kRecord);
    if (ReadFully(in, reinterpret_cast<char*>(data.data()), data.size()) < data.size()) {
      ThrowBadFile(input, text::Message().Say(text::kStlEndedEarly));
    }
    return true;
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    std::vector<unsigned char>& data = slots[slot];
    for (std::size_t i = 0; i < data.size(); i += kRecord) {
      unsigned char* r = data.data() + i;
      const geometry::Vector3 normal = motion.Normal(Corner(r));
      for (int j = 0; j < 3; ++j) StoreFloat(r + 4 * j, static_cast<float>(normal[j]), false);
      geometry::Vector3 p[3];
      for (int c = 0; c < 3; ++c) {
        const geometry::Vector3 before = Corner(r + 12 + 12 * c);
        p[c] = motion.Point(before);
        CheckMovedInRange(before, p[c], kFloatMax, input, 0);
      }
      if (motion.mirrors) std::swap(p[1], p[2]);
      for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < 3; ++j)
          StoreFloat(r + 12 + 12 * c + 4 * j, static_cast<float>(p[c][j]), false);
      }
    }
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    out.Write(
        std::string_view(reinterpret_cast<const char*>(slots[slot].data()), slots[slot].size()));
  };
  RunRecordBlocks(blocks, threads);
  // Whatever follows the last triangle is kept as it is.
  char rest[1 << 16];
  for (std::size_t got; (got = in.Read(rest, sizeof rest)) > 0;)
    out.Write(std::string_view(rest, got));
  counts.vertices = std::uint64_t{3} * count;
  if (vet) vet(counts);
  out.Commit();
}

}  // namespace

void ReadStlMesh(const std::string& path, bool binary, Mesh& mesh) {
  mesh = Mesh();
  if (binary) {
    ReadBinary(path, mesh);
  } else {
    ReadAscii(path, mesh);
  }
}

void ReplayStlFile(const std::string& input, bool binary, const std::string& output,
                   const geometry::Matrix4& m, const StreamOptions& options,
                   const ReplayStyle& style, ReplayCounts* counts,
                   const std::function<void(const ReplayCounts&)>& vet) {
  const MeshMotion motion(m);
  ReplayCounts found;
  if (binary) {
    ReplayBinary(input, output, motion, options, found, vet);
  } else {
    TextDigits digits;
    if (!style.digitsChosen && !CanStartAgain(output)) {
      ScanDigits(input, digits.positions, digits.normals);
      digits.prescanned = true;
    }
    // Each start again abandons the output (its temporary file removed).
    while (!ReplayAscii(input, output, motion, style, found, vet, digits)) found = ReplayCounts();
  }
  if (counts != nullptr) *counts = found;
}

}  // namespace korvane::obj
