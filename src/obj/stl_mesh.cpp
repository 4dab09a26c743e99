#include "obj/stl_mesh.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "obj/block_pipeline.h"
#include "obj/mesh_io.h"
#include "obj/record_motion.h"
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

// A line of an ASCII STL, split as the reading and the replay both need it.
struct StlLine {
  std::string_view text;  // with its line end
  Key key;
  std::size_t count;  // tokens, at most five
  std::string_view t[5];
};

// Calls f(index, line) for each line of `text`, indices from 0; returns how
// many lines it holds. One pass finds each line's end and its tokens.
template <class F>
std::uint64_t EachLine(std::string_view text, F&& f) {
  StlLine line;
  std::uint64_t index = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    const char* const begin = p;
    std::size_t n = 0;
    for (;;) {
      while (p != end && *p != '\n' && IsSpace(*p)) ++p;
      if (p == end || *p == '\n') break;
      const char* const token = p;
      while (p != end && !IsSpace(*p)) ++p;
      line.t[n++] = std::string_view(token, static_cast<std::size_t>(p - token));
      if (n == 5) {  // no more are needed: on to the line's end
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        p = lf != nullptr ? static_cast<const char*>(lf) : end;
        break;
      }
    }
    if (p != end) ++p;  // the line feed
    line.text = std::string_view(begin, static_cast<std::size_t>(p - begin));
    line.count = n;
    line.key = n > 0 ? KeyOf(line.t[0]) : Key::other;
    f(index++, line);
  }
  return index;
}

// A fault of a block's line (numbered from 1 in the block): the file's line
// number is known once the blocks before it are delivered.
struct LineFault {
  std::uint64_t line;
  text::Message what;
  bool outOfRange = false;  // a position the motion carried out of range
};

// Where a block of an ASCII STL may end: after its last "endfacet" line,
// else after the last whole line outside a facet (0: none).
std::size_t OutsideFacet(std::string_view text) {
  std::size_t end = text.rfind('\n');
  if (end == std::string_view::npos) return 0;
  ++end;
  for (std::size_t stop = end; stop > 0;) {
    const std::size_t lf = stop >= 2 ? text.rfind('\n', stop - 2) : std::string_view::npos;
    const std::size_t start = lf == std::string_view::npos ? 0 : lf + 1;
    std::string_view t[1];
    if (Tokens(text.substr(start, stop - start), t, 1) > 0 && KeyOf(t[0]) == Key::endfacet) {
      return stop;
    }
    stop = start;
  }
  // No facet ends here: up to the first facet begun.
  std::size_t outside = 0;
  bool facet = false;
  EachLine(text.substr(0, end), [&](std::uint64_t, const StlLine& l) {
    facet = facet || l.key == Key::facet;
    if (!facet) outside += l.text.size();
  });
  return outside;
}

// The number lines an ASCII STL repeats (a vertex once for each facet
// around it, a flat part's normal for each of its facets), with what they
// become: text met again is not read, moved and written (or welded) again. Keyed by the
// line's bytes from its first number on; longer lines are not kept.
class LineCache {
 public:
  static constexpr std::size_t kKey = 64, kOut = 96;
  static constexpr std::size_t kMostEntries = std::size_t{1} << 12;
  struct Entry {
    std::uint32_t keySize, outSize;
    geometry::Vector3 moved;
    std::uint32_t index;  // reading: the point's number in its block
    char key[kKey];
    char out[kOut];
  };
  // A small file needs no large table: about an entry for 64 bytes.
  static std::size_t EntriesFor(std::uint64_t file_size) {
    std::size_t entries = 64;
    while (entries < kMostEntries && entries * 64 < file_size) entries *= 2;
    return entries;
  }
  explicit LineCache(std::size_t entries)  // a power of two
      : tags_(entries, 0), entries_(new Entry[entries]) {}
  // The entry for `key` (null when too long to keep); `found` when it holds it.
  Entry* Find(std::string_view key, bool& found) {
    found = false;
    if (key.size() > kKey) return nullptr;
    const std::uint64_t h = Hash(key);
    const std::size_t i = h & (tags_.size() - 1);
    // The tags are few enough to stay in the cache: most misses need no entry read.
    const auto tag = static_cast<std::uint32_t>(h >> 32) | 1u;
    Entry& e = entries_[i];
    found = tags_[i] == tag && e.keySize == key.size() &&
            std::memcmp(e.key, key.data(), key.size()) == 0;
    if (!found) tags_[i] = 0;  // not `key` until Keep has all of it
    lastTag_ = tag;
    last_ = i;
    return &e;
  }
  // Keeps `key` in `e`, the entry Find returned last, with what it became
  // (`out`, unless too long).
  void Keep(Entry& e, std::string_view key, std::string_view out, const geometry::Vector3& moved,
            std::uint32_t index = 0) {
    if (out.size() > kOut) return;
    std::memcpy(e.key, key.data(), key.size());
    if (!out.empty()) std::memcpy(e.out, out.data(), out.size());
    e.keySize = static_cast<std::uint32_t>(key.size());
    e.outSize = static_cast<std::uint32_t>(out.size());
    e.moved = moved;
    e.index = index;
    tags_[last_] = lastTag_;
  }
  void Clear() { std::fill(tags_.begin(), tags_.end(), 0u); }

 private:
  static std::uint64_t Hash(std::string_view key) {
    std::uint64_t a = key.size(), b = 0x9E3779B97F4A7C15ull;
    std::size_t i = 0;
    for (; i + 16 <= key.size(); i += 16) {  // two lanes: the multiplications overlap
      std::uint64_t w[2];
      std::memcpy(w, key.data() + i, 16);
      a = (a ^ w[0]) * 0xBF58476D1CE4E5B9ull;
      b = (b ^ w[1]) * 0x94D049BB133111EBull;
    }
    std::uint64_t w[2] = {0, 0};
    std::memcpy(w, key.data() + i, key.size() - i);
    a = (a ^ w[0]) * 0xBF58476D1CE4E5B9ull;
    b = (b ^ w[1]) * 0x94D049BB133111EBull;
    const std::uint64_t h = (a ^ (b >> 29) ^ (a >> 32)) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 31);
  }
  std::vector<std::uint32_t> tags_;
  std::unique_ptr<Entry[]> entries_;
  std::uint32_t lastTag_ = 0;
  std::size_t last_ = 0;
};

// A block of an ASCII STL as its own thread reads it: its corners welded
// among themselves (`points`, in the order they first appear) and, in file
// order, each corner (its point) and each line that closes a loop.
struct AsciiBlock {
  static constexpr std::uint32_t kClose = std::numeric_limits<std::uint32_t>::max();
  struct Event {
    std::uint32_t point;  // kClose: the loop closes
    std::uint32_t line;   // in the block, from 1
  };
  std::vector<geometry::Vector3> points;
  std::vector<Event> events;
  std::uint64_t lines = 0;
  bool faulty = false;
  std::uint32_t faultLine = 0;  // a vertex line without three numbers
};

void ReadAsciiBlock(std::string_view text, AsciiBlock& b, LineCache& cache) {
  b.points.clear();
  b.events.clear();
  b.faulty = false;
  cache.Clear();  // its entries name the points of the block before
  // About 40 bytes a corner line, most points in six facets.
  Welder weld(b.points, text.size() / 200);
  b.lines = EachLine(text, [&](std::uint64_t index, const StlLine& l) {
    if (b.faulty) return;
    const auto line = static_cast<std::uint32_t>(index + 1);
    if (l.key == Key::vertex) {
      const std::string_view key =
          l.count < 4 ? std::string_view()
                      : l.text.substr(static_cast<std::size_t>(l.t[1].data() - l.text.data()));
      bool found = false;
      LineCache::Entry* e = l.count < 4 ? nullptr : cache.Find(key, found);
      if (found) {
        b.events.push_back({e->index, line});
        return;
      }
      geometry::Vector3 p;
      if (l.count < 4 || !ReadTriple(l.t + 1, p)) {
        b.faulty = true;
        b.faultLine = line;
        return;
      }
      const std::uint32_t point = weld.Index(p);
      if (e != nullptr) cache.Keep(*e, key, {}, p, point);
      b.events.push_back({point, line});
    } else if (l.key != Key::other) {
      b.events.push_back({AsciiBlock::kClose, line});
    }
  });
}

// Blocks of lines are read on every thread, their corners welded there
// among themselves; the points are welded across blocks and the facets
// closed in file order.
void ReadAscii(const std::string& path, Mesh& mesh, const StreamOptions& options) {
  platform::InputFile in;
  OpenMeshFile(in, path);
  // About 250 bytes a facet, half a vertex each: a guess for the table only.
  Welder weld(mesh.vertices, static_cast<std::size_t>(
                                 std::min<std::uint64_t>(in.Size() / 500, std::uint64_t{1} << 24)));
  std::vector<std::uint32_t> loop;
  std::uint64_t loop_line = 0, lines = 0;
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
    explicit Slot(std::size_t entries) : cache(entries) {}
    TextBlocks::Text text;
    bool tooLong = false;
    AsciiBlock read;
    std::vector<std::uint32_t> global;
    LineCache cache;
  };
  std::vector<Slot> slots;
  slots.reserve(threads);
  for (unsigned k = 0; k < threads; ++k) slots.emplace_back(LineCache::EntriesFor(in.Size()));
  TextBlocks reader(in, path, block, options.maxPiece);
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    return reader.Next(s.text, s.tooLong, [](std::string_view text) {
      const std::size_t lf = text.rfind('\n');
      return lf == std::string_view::npos ? 0 : lf + 1;
    });
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    ReadAsciiBlock(slots[slot].text.view(), slots[slot].read, slots[slot].cache);
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    CheckNotStopped(path);
    Slot& s = slots[slot];
    s.global.resize(s.read.points.size());
    for (std::size_t i = 0; i < s.global.size(); ++i) s.global[i] = weld.Index(s.read.points[i]);
    for (const AsciiBlock::Event& e : s.read.events) {
      if (e.point == AsciiBlock::kClose) {
        close();
        continue;
      }
      if (loop.empty()) loop_line = lines + e.line;
      loop.push_back(s.global[e.point]);
    }
    if (s.read.faulty) {
      ThrowBadLine(path, lines + s.read.faultLine, text::Message().Say(text::kVertexThree));
    }
    lines += s.read.lines;
    if (s.tooLong) ThrowBadLine(path, lines + 1, text::Message().Say(text::kLineTooLong));
  };
  RunRecordBlocks(blocks, threads);
  close();
}

// `line` with its three numbers `numbers` (tokens of it) replaced by `v`,
// every other byte kept.
void Rewrite(TextOut& out, std::string_view line, const std::string_view* numbers,
             const geometry::Vector3& v, const NumberStyle& style) {
  char* w = out.Room(line.size() + 3 * kNumberRoom);
  std::size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    const auto start = static_cast<std::size_t>(numbers[k].data() - line.data());
    std::memcpy(w, line.data() + at, start - at);
    w = WriteNumber(w + (start - at), v[k], style, HasExponent(numbers[k]));
    at = start + numbers[k].size();
  }
  std::memcpy(w, line.data() + at, line.size() - at);
  out.Advance(w + (line.size() - at));
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
};

// Rewrites `text`, lines that begin outside a facet, into `out`; returns how
// many lines it holds. Under a mirror a facet is held until its end, its
// corners listed the other way round. Throws LineFault (a line of the
// block), and MoreDigits when a number carries more digits than are written
// (`position_digits` and `normal_digits` raised). Unless `whole` (the
// block stops before a line refused), a facet may not go on past the block.
std::uint64_t ReplayAsciiText(std::string_view text, const AsciiStyle& style, LineCache& points,
                              LineCache& normals, int& position_digits, int& normal_digits,
                              TextOut& out, std::uint64_t& vertices, bool whole) {
  const MeshMotion& motion = style.motion;
  const bool hold = motion.mirrors;
  // Under a mirror: the lines of the facet, views of `text`, with their numbers' tokens.
  struct Held {
    std::string_view line;
    Key key;
    std::string_view numbers[3];
  };
  std::vector<Held> held;
  bool has_normal = false;
  geometry::Vector3 normal_turned;
  std::vector<geometry::Vector3> moved;
  std::size_t corners = 0;
  std::uint64_t facet_line = 0;
  const auto fault = [](std::uint64_t line, text::Message what) {
    throw LineFault{line, std::move(what), false};
  };
  const auto flush = [&] {
    if (corners < 3) {
      fault(facet_line, text::Message()
                            .Say(text::kFacetCorners)
                            .Own(std::to_string(corners))
                            .Say(text::kFacetCornersEnd));
    }
    corners = 0;
    if (!hold) return;
    std::size_t corner = 0;
    const std::size_t count = moved.size();
    for (const Held& h : held) {
      if (h.key == Key::vertex) {
        // The first corner stays first and the rest turn round.
        const std::size_t from = corner > 0 ? count - corner : corner;
        Rewrite(out, h.line, h.numbers, moved[from], style.positions);
        ++corner;
      } else if (h.key == Key::facet && has_normal) {
        Rewrite(out, h.line, h.numbers, normal_turned, style.normals);
      } else {
        out.Append(h.line);
      }
    }
    held.clear();
    moved.clear();
  };
  // A number line through `cache`: its numbers (from token `first` on)
  // checked for digits, read and moved by `move` once; the line written
  // unless held. Returns the moved value.
  const auto numbers = [&](const StlLine& l, std::uint64_t line, std::size_t first,
                           LineCache& cache, const NumberStyle& written, int& digits,
                           const text::Phrase& needs3, auto&& move) {
    const std::string_view* t = l.t + first;
    const auto start = static_cast<std::size_t>(t[0].data() - l.text.data());
    const std::string_view key = l.text.substr(start);
    bool found = false;
    LineCache::Entry* e = cache.Find(key, found);
    if (found) {
      if (!hold) {
        out.Append(l.text.substr(0, start));
        out.Append(std::string_view(e->out, e->outSize));
      }
      return e->moved;
    }
    geometry::Vector3 p;
    if (!ReadTriple(t, p)) fault(line, text::Message().Say(needs3));
    bool again = false;
    for (std::size_t i = 0; i < 3; ++i) again = style.digits.Raise(digits, t[i], written) || again;
    if (again) throw MoreDigits{position_digits, normal_digits};
    const geometry::Vector3 q = move(p, line);
    if (!hold) {
      out.Append(l.text.substr(0, start));
      const std::size_t from = out.size();
      Rewrite(out, key, t, q, written);
      if (e != nullptr) cache.Keep(*e, key, out.view().substr(from), q);
    } else if (e != nullptr) {
      cache.Keep(*e, key, {}, q);
    }
    return q;
  };
  bool inside = false;
  const std::uint64_t lines = EachLine(text, [&](std::uint64_t index, const StlLine& l) {
    const std::uint64_t line = index + 1;
    if (l.key == Key::facet) {
      if (inside) flush();
      inside = true;
      facet_line = line;
      has_normal = l.count >= 5;
      if (has_normal) {
        normal_turned =
            numbers(l, line, 2, normals, style.normals, normal_digits, text::kNormalThree,
                    [&](const geometry::Vector3& n, std::uint64_t) { return motion.Normal(n); });
      } else if (!hold) {
        out.Append(l.text);
      }
    } else if (!inside) {
      out.Append(l.text);
      return;
    } else if (l.key == Key::vertex) {
      if (l.count < 4) fault(line, text::Message().Say(text::kVertexThree));
      const geometry::Vector3 q =
          numbers(l, line, 1, points, style.positions, position_digits, text::kVertexThree,
                  [&](const geometry::Vector3& p, std::uint64_t at) {
                    const geometry::Vector3 after = motion.Point(p);
                    if (CarriedOutOfRange(p, after, std::numeric_limits<double>::max()))
                      throw LineFault{at, {}, true};
                    return after;
                  });
      if (hold) moved.push_back(q);
      ++corners;
      ++vertices;
    } else if (!hold) {
      out.Append(l.text);
    }
    if (hold) {
      Held h{l.text, l.key, {}};
      if (l.key == Key::vertex || (l.key == Key::facet && has_normal)) {
        const std::size_t number0 = l.key == Key::vertex ? 1 : 2;
        for (std::size_t i = 0; i < 3; ++i) h.numbers[i] = l.t[number0 + i];
      }
      held.push_back(h);
    }
    if (l.key == Key::endfacet) {
      flush();
      inside = false;
    }
  });
  // Blocks end outside a facet but for the file's last.
  if (inside && whole) fault(facet_line, text::Message().Say(text::kEndsInFacet));
  return lines;
}

// A block's fault, named with its line in the file.
[[noreturn]] void ThrowFault(const std::string& path, std::uint64_t line, const LineFault& f) {
  if (f.outOfRange) ThrowCarriedOutOfRange(path, line);
  ThrowBadLine(path, line, f.what);
}

// False when a number carries more digits than `digits` had: start again.
// Blocks of whole facets are rewritten on every thread, written in file order.
bool ReplayAscii(const std::string& input, const std::string& output, const MeshMotion& motion,
                 const ReplayStyle& style, const StreamOptions& options, ReplayCounts& counts,
                 const std::function<void(const ReplayCounts&)>& vet, TextDigits& digits) {
  const AsciiStyle ascii{motion, NumberStyleOf(style, digits.positions),
                         NumberStyleOf(style, digits.normals), digits};
  platform::InputFile in;
  OpenMeshFile(in, input);
  platform::AtomicOutput out(output);
  const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 20;
  const auto threads =
      in.Size() <= block ? 1u : static_cast<unsigned>(StreamThreads(options.threads));
  const std::size_t entries = LineCache::EntriesFor(in.Size());
  struct Slot {
    explicit Slot(std::size_t entries) : points(entries), normals(entries) {}
    TextBlocks::Text text;
    bool tooLong = false;
    TextOut out;
    std::uint64_t lines = 0, vertices = 0;
    std::optional<LineFault> fault;
    LineCache points, normals;
  };
  std::vector<Slot> slots;
  slots.reserve(threads);
  for (unsigned k = 0; k < threads; ++k) slots.emplace_back(entries);
  TextBlocks reader(in, input, block, options.maxPiece);
  std::uint64_t lines = 0;  // in the blocks written
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    return reader.Next(s.text, s.tooLong, OutsideFacet);
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    s.out.clear();
    s.vertices = 0;
    s.fault.reset();
    int position_digits = digits.positions, normal_digits = digits.normals;
    try {
      s.lines = ReplayAsciiText(s.text.view(), ascii, s.points, s.normals, position_digits,
                                normal_digits, s.out, s.vertices, !s.tooLong);
    } catch (LineFault& f) {
      s.fault = std::move(f);
    }
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    if (s.fault) ThrowFault(input, lines + s.fault->line, *s.fault);
    out.Write(s.out.view());
    counts.vertices += s.vertices;
    lines += s.lines;
    if (s.tooLong) ThrowBadLine(input, lines + 1, text::Message().Say(text::kLineTooLong));
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
    MoveStlFacets(slots[slot].data(), slots[slot].size() / kRecord, motion, input);
  };
  blocks.write = [&](std::size_t, std::size_t slot) {
    out.Write(
        std::string_view(reinterpret_cast<const char*>(slots[slot].data()), slots[slot].size()));
  };
  RunRecordBlocks(blocks, threads);
  // Whatever follows the last triangle is kept as it is.
  out.CopyRest(in);
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
