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

// A line of an ASCII STL as the reading needs it: a corner, a keyword that
// closes the facet's loop, or a vertex line without three numbers.
struct AsciiLine {
  enum Kind : std::uint8_t { corner, close, bad } kind;
  std::uint64_t line;
  geometry::Vector3 p;
};

// The lines of `text`, numbered from `first`, as AsciiLines (the others skipped).
void ReadAsciiLines(std::string_view text, std::uint64_t first, std::vector<AsciiLine>& out) {
  out.clear();
  std::string_view t[5];
  std::uint64_t number = first;
  for (std::size_t at = 0; at < text.size(); ++number) {
    const std::size_t lf = text.find('\n', at);
    const std::size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    const std::string_view line = text.substr(at, end - at);
    at = end;
    const std::size_t n = Tokens(line, t, 5);
    if (n == 0) continue;
    const Key key = KeyOf(t[0]);
    if (key == Key::vertex) {
      geometry::Vector3 p;
      const bool ok = n >= 4 && ReadTriple(t + 1, p);
      out.push_back({ok ? AsciiLine::corner : AsciiLine::bad, number, p});
    } else if (key != Key::other) {
      out.push_back({AsciiLine::close, number, {}});
    }
  }
}

// Blocks of lines are read into numbers on every thread; the corners are
// welded and the facets closed in file order.
void ReadAscii(const std::string& path, Mesh& mesh, const StreamOptions& options) {
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
  const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 20;
  // A file of one block stays on this thread.
  const auto threads =
      in.Size() <= block ? 1u : static_cast<unsigned>(StreamThreads(options.threads));
  struct Slot {
    std::string text;
    std::uint64_t first = 0;
    std::vector<AsciiLine> read;
  };
  std::vector<Slot> slots(threads);
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    s.text.clear();
    s.first = lines.line() + 1;
    std::string_view line;
    while (s.text.size() < block && lines.Next(line)) s.text.append(line);
    return !s.text.empty();
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    ReadAsciiLines(slots[slot].text, slots[slot].first, slots[slot].read);
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    CheckNotStopped(path);
    for (const AsciiLine& l : slots[slot].read) {
      if (l.kind == AsciiLine::bad) {
        ThrowBadLine(path, l.line, text::Message().Say(text::kVertexThree));
      }
      if (l.kind == AsciiLine::close) {
        close();
        continue;
      }
      if (loop.empty()) loop_line = l.line;
      loop.push_back(weld.Index(l.p));
    }
  };
  RunRecordBlocks(blocks, threads);
  close();
}

// `line` with its three numbers `numbers` (tokens of it) replaced by `v`,
// every other byte kept.
void Rewrite(std::string& out, std::string_view line, const std::string_view* numbers,
             const geometry::Vector3& v, const NumberStyle& style) {
  std::size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    const auto start = static_cast<std::size_t>(numbers[k].data() - line.data());
    out.append(line.substr(at, start - at));
    AppendNumber(out, v[k], style, HasExponent(numbers[k]));
    at = start + numbers[k].size();
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

// How an ASCII STL's facets are rewritten.
struct AsciiStyle {
  const MeshMotion& motion;
  NumberStyle positions, normals;
  const TextDigits& digits;
  const std::string& input;
};

// Rewrites `text`, lines numbered from `first` that begin outside a facet,
// into `out`. A facet is held until its end, as its corners may be listed the
// other way round. Throws MoreDigits when a number carries more digits than
// are written (`position_digits` and `normal_digits` raised).
void ReplayAsciiText(std::string_view text, std::uint64_t first, const AsciiStyle& style,
                     int& position_digits, int& normal_digits, std::string& out,
                     std::uint64_t& vertices) {
  const MeshMotion& motion = style.motion;
  const std::string& input = style.input;
  // The lines of the facet, views of `text`, with their numbers' tokens.
  struct Held {
    std::string_view line;
    Key key;
    std::string_view numbers[3];
  };
  std::vector<Held> held;
  bool has_normal = false;
  geometry::Vector3 normal_turned;
  std::vector<geometry::Vector3> moved;
  std::uint64_t facet_line = 0;
  const auto flush = [&] {
    if (moved.size() < 3) {
      ThrowBadLine(input, facet_line,
                   text::Message()
                       .Say(text::kFacetCorners)
                       .Own(std::to_string(moved.size()))
                       .Say(text::kFacetCornersEnd));
    }
    std::size_t corner = 0;
    const std::size_t count = moved.size();
    for (const Held& h : held) {
      if (h.key == Key::vertex) {
        // Under a mirror the first corner stays first and the rest turn round.
        const std::size_t from = motion.mirrors && corner > 0 ? count - corner : corner;
        Rewrite(out, h.line, h.numbers, moved[from], style.positions);
        ++corner;
      } else if (h.key == Key::facet && has_normal) {
        Rewrite(out, h.line, h.numbers, normal_turned, style.normals);
      } else {
        out.append(h.line);
      }
    }
    held.clear();
    moved.clear();
  };
  bool inside = false;
  std::string_view t[5];
  std::uint64_t number = first;
  for (std::size_t at = 0; at < text.size(); ++number) {
    const std::size_t lf = text.find('\n', at);
    const std::size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    const std::string_view line = text.substr(at, end - at);
    at = end;
    const std::size_t n = Tokens(line, t, 5);
    const Key key = n > 0 ? KeyOf(t[0]) : Key::other;
    if (key == Key::facet) {
      if (inside) flush();
      inside = true;
      facet_line = number;
      has_normal = n >= 5;
      if (has_normal) {
        bool again = false;
        for (std::size_t i = 2; i < 5; ++i)
          again = style.digits.Raise(normal_digits, t[i], style.normals) || again;
        if (again) throw MoreDigits{position_digits, normal_digits};
        geometry::Vector3 normal;
        if (!ReadTriple(t + 2, normal)) {
          ThrowBadLine(input, facet_line, text::Message().Say(text::kNormalThree));
        }
        normal_turned = motion.Normal(normal);
      }
    }
    if (!inside) {
      out.append(line);
      continue;
    }
    if (key == Key::vertex) {
      geometry::Vector3 p;
      if (n < 4 || !ReadTriple(t + 1, p)) {
        ThrowBadLine(input, number, text::Message().Say(text::kVertexThree));
      }
      bool again = false;
      for (std::size_t i = 1; i < 4; ++i)
        again = style.digits.Raise(position_digits, t[i], style.positions) || again;
      if (again) throw MoreDigits{position_digits, normal_digits};
      const geometry::Vector3 q = motion.Point(p);
      CheckMovedInRange(p, q, std::numeric_limits<double>::max(), input, number);
      moved.push_back(q);
      ++vertices;
    }
    Held h{line, key, {}};
    if (key == Key::vertex || (key == Key::facet && has_normal)) {
      const std::size_t number0 = key == Key::vertex ? 1 : 2;
      for (std::size_t i = 0; i < 3; ++i) h.numbers[i] = t[number0 + i];
    }
    held.push_back(h);
    if (key == Key::endfacet) {
      flush();
      inside = false;
    }
  }
  // Blocks end outside a facet but for the file's last.
  if (inside) ThrowBadLine(input, facet_line, text::Message().Say(text::kEndsInFacet));
}

// False when a number carries more digits than `digits` had: start again.
// Blocks of whole facets are rewritten on every thread, written in file order.
bool ReplayAscii(const std::string& input, const std::string& output, const MeshMotion& motion,
                 const ReplayStyle& style, const StreamOptions& options, ReplayCounts& counts,
                 const std::function<void(const ReplayCounts&)>& vet, TextDigits& digits) {
  const AsciiStyle ascii{motion, NumberStyleOf(style, digits.positions),
                         NumberStyleOf(style, digits.normals), digits, input};
  platform::InputFile in;
  OpenMeshFile(in, input);
  platform::AtomicOutput out(output);
  RawLines lines(in, input);
  const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 20;
  const auto threads =
      in.Size() <= block ? 1u : static_cast<unsigned>(StreamThreads(options.threads));
  struct Slot {
    std::string text, out;
    std::uint64_t first = 0, vertices = 0;
  };
  std::vector<Slot> slots(threads);
  bool inside = false;  // where the reading is: a block is cut outside a facet only
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    s.text.clear();
    s.first = lines.line() + 1;
    std::string_view line;
    std::string_view t[1];
    while ((s.text.size() < block || inside) && lines.Next(line)) {
      s.text.append(line);
      const Key key = Tokens(line, t, 1) > 0 ? KeyOf(t[0]) : Key::other;
      if (key == Key::facet) inside = true;
      if (key == Key::endfacet) inside = false;
    }
    return !s.text.empty();
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    s.out.clear();
    s.vertices = 0;
    int position_digits = digits.positions, normal_digits = digits.normals;
    ReplayAsciiText(s.text, s.first, ascii, position_digits, normal_digits, s.out, s.vertices);
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    out.Write(slots[slot].out);
    counts.vertices += slots[slot].vertices;
  };
  try {
    RunRecordBlocks(blocks, threads);
  } catch (const MoreDigits& more) {
    digits.positions = std::max(digits.positions, more.positions);
    digits.normals = std::max(digits.normals, more.normals);
    return false;
  }
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
  auto threads = static_cast<unsigned>(StreamThreads(options.threads));
  const std::size_t per_block =
      options.block != 0 ? std::max<std::size_t>(1, options.block / kRecord) : kRecordsAtOnce;
  const std::size_t block_count = (std::size_t{count} + per_block - 1) / per_block;
  threads =
      static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(block_count, 1)));
  const auto records_in = [&](std::size_t k) {
    return std::min<std::size_t>(count - k * per_block, per_block);
  };
  std::vector<RecordBuffer> slots(threads);
  RecordBlocks blocks;
  blocks.read = [&](std::size_t k, std::size_t slot) {
    if (k == block_count) return false;
    CheckNotStopped(input);
    RecordBuffer& data = slots[slot];
    data.resize(records_in(k) * kRecord);
    if (ReadFully(in, reinterpret_cast<char*>(data.data()), data.size()) < data.size()) {
      ThrowBadFile(input, text::Message().Say(text::kStlEndedEarly));
    }
    return true;
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    RecordBuffer& data = slots[slot];
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

void ReadStlMesh(const std::string& path, bool binary, Mesh& mesh, const StreamOptions& options) {
  mesh = Mesh();
  if (binary) {
    ReadBinary(path, mesh);
  } else {
    ReadAscii(path, mesh, options);
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
    while (!ReplayAscii(input, output, motion, style, options, found, vet, digits))
      found = ReplayCounts();
  }
  if (counts != nullptr) *counts = found;
}

}  // namespace korvane::obj
