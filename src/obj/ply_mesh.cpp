#include "obj/ply_mesh.h"

#include <algorithm>
#include <cstring>
#include <limits>
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

enum class Type : std::uint8_t { i8, u8, i16, u16, i32, u32, f32, f64 };

struct TypeName {
  std::string_view name;
  Type type;
};
constexpr TypeName kTypes[] = {
    {"char", Type::i8},   {"int8", Type::i8},     {"uchar", Type::u8},   {"uint8", Type::u8},
    {"short", Type::i16}, {"int16", Type::i16},   {"ushort", Type::u16}, {"uint16", Type::u16},
    {"int", Type::i32},   {"int32", Type::i32},   {"uint", Type::u32},   {"uint32", Type::u32},
    {"float", Type::f32}, {"float32", Type::f32}, {"double", Type::f64}, {"float64", Type::f64},
};

std::size_t SizeOf(Type t) {
  switch (t) {
    case Type::i8:
    case Type::u8:
      return 1;
    case Type::i16:
    case Type::u16:
      return 2;
    case Type::i32:
    case Type::u32:
    case Type::f32:
      return 4;
    case Type::f64:
      return 8;
  }
  return 1;
}

bool IsFloat(Type t) { return t == Type::f32 || t == Type::f64; }

double Load(const unsigned char* p, Type t, bool big) {
  switch (t) {
    case Type::i8:
      return static_cast<signed char>(p[0]);
    case Type::u8:
      return p[0];
    case Type::i16:
    case Type::u16: {
      const auto u = static_cast<std::uint16_t>(big ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]));
      return t == Type::i16 ? static_cast<double>(static_cast<std::int16_t>(u)) : u;
    }
    case Type::i32:
      return static_cast<std::int32_t>(Load32(p, big));
    case Type::u32:
      return Load32(p, big);
    case Type::f32:
      return LoadFloat(p, big);
    case Type::f64:
      return LoadDouble(p, big);
  }
  return 0.0;
}

struct Property {
  std::string name;
  Type type = Type::f32;
  bool list = false;
  Type countType = Type::u8;
};

struct Element {
  std::string name;
  std::uint64_t count = 0;
  std::vector<Property> properties;
  bool fixed = true;     // no list properties
  std::size_t size = 0;  // bytes of a record when fixed; the least otherwise
  int x = -1, y = -1, z = -1, nx = -1, ny = -1, nz = -1;
  int faceList = -1;
  std::vector<std::size_t> offsets;  // of each property, when fixed
};

struct Header {
  enum class Encoding { ascii, little, big } encoding = Encoding::ascii;
  std::vector<Element> elements;
  std::string text;            // its bytes, as they were
  std::uint64_t lines = 0;     // its lines
  int vertex = -1, face = -1;  // element indices
  bool binary() const { return encoding != Encoding::ascii; }
  bool big() const { return encoding == Encoding::big; }
};

constexpr std::size_t kMaxHeader = std::size_t{16} << 20;

Header ReadHeader(RawLines& lines, const std::string& path, std::uint64_t file_size) {
  Header h;
  std::string_view line;
  std::string_view t[8];
  bool format = false, ended = false;
  while (lines.Next(line)) {
    h.text.append(line);
    if (h.text.size() > kMaxHeader)
      ThrowBadLine(path, lines.line(), text::Message().Say(text::kPlyHeaderLong));
    const std::size_t n = Tokens(line, t, 8);
    if (lines.line() == 1) {
      if (n != 1 || t[0] != "ply") ThrowBadLine(path, 1, text::Message().Say(text::kPlyNotPly));
      continue;
    }
    // Comments, and lines some exporters write without the keyword ("Created by ...").
    if (n == 0 ||
        (t[0] != "end_header" && t[0] != "format" && t[0] != "element" && t[0] != "property")) {
      continue;
    }
    if (t[0] == "end_header") {
      ended = true;
      break;
    }
    if (t[0] == "format") {
      if (n < 3 || t[2] != "1.0")
        ThrowBadLine(path, lines.line(), text::Message().Say(text::kPlyVersion));
      if (t[1] == "ascii") {
        h.encoding = Header::Encoding::ascii;
      } else if (t[1] == "binary_little_endian") {
        h.encoding = Header::Encoding::little;
      } else if (t[1] == "binary_big_endian") {
        h.encoding = Header::Encoding::big;
      } else {
        ThrowBadLine(path, lines.line(),
                     text::Message().Say(text::kPlyFormat).Own(t[1]).Say(text::kPlyFormatEnd));
      }
      format = true;
    } else if (t[0] == "element") {
      double count = 0.0;
      if (n != 3 || !TokenNumber(t[2], count) || !(count >= 0.0) || count != std::floor(count) ||
          count > 1e18) {
        ThrowBadLine(path, lines.line(), text::Message().Say(text::kPlyElementNeeds));
      }
      Element el;
      el.name = std::string(t[1]);
      el.count = static_cast<std::uint64_t>(count);
      h.elements.push_back(std::move(el));
    } else if (t[0] == "property") {
      if (h.elements.empty())
        ThrowBadLine(path, lines.line(), text::Message().Say(text::kPlyPropertyFirst));
      const auto type = [&](std::string_view name, Type& out) {
        for (const TypeName& k : kTypes) {
          if (k.name == name) {
            out = k.type;
            return true;
          }
        }
        return false;
      };
      Property p;
      const bool list = n == 5 && t[1] == "list";
      if (list ? !type(t[2], p.countType) || !type(t[3], p.type) || IsFloat(p.countType)
               : n != 3 || !type(t[1], p.type)) {
        ThrowBadLine(path, lines.line(), text::Message().Say(text::kPlyPropertyNeeds));
      }
      p.list = list;
      p.name = std::string(t[list ? 4 : 2]);
      h.elements.back().properties.push_back(std::move(p));
    }
  }
  if (!ended) ThrowBadFile(path, text::Message().Say(text::kPlyNoEnd));
  if (!format) ThrowBadFile(path, text::Message().Say(text::kPlyNoFormat));
  h.lines = lines.line();
  // Every record takes at least its least size (ASCII: a digit and a space a
  // value): a count the rest of the file cannot hold is refused before anything is allocated.
  const std::uint64_t rest = file_size > h.text.size() ? file_size - h.text.size() : 0;
  std::uint64_t least = 0;
  for (std::size_t e = 0; e < h.elements.size(); ++e) {
    Element& el = h.elements[e];
    std::size_t offset = 0;
    for (std::size_t k = 0; k < el.properties.size(); ++k) {
      const Property& p = el.properties[k];
      el.offsets.push_back(offset);
      el.fixed = el.fixed && !p.list;
      const std::size_t bytes = h.binary() ? SizeOf(p.list ? p.countType : p.type) : 2;
      offset += bytes;
      const auto i = static_cast<int>(k);
      if (p.name == "x") el.x = i;
      if (p.name == "y") el.y = i;
      if (p.name == "z") el.z = i;
      if (p.name == "nx") el.nx = i;
      if (p.name == "ny") el.ny = i;
      if (p.name == "nz") el.nz = i;
      if (p.list && (p.name == "vertex_indices" || p.name == "vertex_index")) el.faceList = i;
    }
    el.size = offset;
    if (el.count > 0 && el.size == 0)
      ThrowBadFile(path,
                   text::Message().Say(text::kPlyElement).Own(el.name).Say(text::kPlyNoProperties));
    if (el.count > (rest - std::min(rest, least)) / std::max<std::size_t>(el.size, 1)) {
      ThrowBadFile(path, text::Message()
                             .Say(text::kPlyCounts)
                             .Own(std::to_string(el.count))
                             .Say(text::kPlyCountsOf)
                             .Own(el.name)
                             .Say(text::kPlyCountsMore)
                             .Own(std::to_string(rest))
                             .Say(text::kPlyCountsHold));
    }
    least += el.count * el.size;
    if (el.name == "vertex" && h.vertex < 0) h.vertex = static_cast<int>(e);
    if (el.name == "face" && h.face < 0 && el.faceList >= 0) h.face = static_cast<int>(e);
  }
  if (h.vertex < 0) ThrowBadFile(path, text::Message().Say(text::kPlyNoVertex));
  const Element& v = h.elements[static_cast<std::size_t>(h.vertex)];
  if (v.x < 0 || v.y < 0 || v.z < 0) ThrowBadFile(path, text::Message().Say(text::kPlyNoXyz));
  return h;
}

// The binary body, read in blocks; what is taken stays valid until the next Take.
class Body {
 public:
  Body(platform::InputFile& in, std::string path, std::string_view first, std::uint64_t size)
      : in_(in),
        path_(std::move(path)),
        buffer_(first.begin(), first.end()),
        end_(first.size()),
        left_(size) {}
  unsigned char* Take(std::size_t n) {
    if (end_ - pos_ < n) Fill(n);
    unsigned char* p = reinterpret_cast<unsigned char*>(buffer_.data()) + pos_;
    pos_ += n;
    return p;
  }
  // The next n bytes into `to`: a large block is read straight into it.
  void TakeInto(unsigned char* to, std::size_t n) {
    const std::size_t held = std::min(n, end_ - pos_);
    std::memcpy(to, buffer_.data() + pos_, held);
    pos_ += held;
    for (std::size_t done = held; done < n;) {
      if (n - done > left_) ThrowBadFile(path_, text::Message().Say(text::kPlyEndsInData));
      CheckNotStopped(path_);
      const std::size_t got = in_.Read(reinterpret_cast<char*>(to) + done, n - done);
      if (got == 0) ThrowBadFile(path_, text::Message().Say(text::kPlyEndsInData));
      done += got;
      left_ -= std::min<std::uint64_t>(left_, got);
    }
  }
  // The bytes read ahead and not taken yet; Skip takes n of them.
  std::string_view Held() const { return {buffer_.data() + pos_, end_ - pos_}; }
  void Skip(std::size_t n) { pos_ += n; }
  // The rest of the file as it is, to `out`.
  void Rest(platform::AtomicOutput& out) {
    if (pos_ < end_) out.Write(std::string_view(buffer_.data() + pos_, end_ - pos_));
    pos_ = end_;
    out.CopyRest(in_);
  }

 private:
  void Fill(std::size_t n) {
    // Never more than the file can still give: a count from the file cannot make us allocate.
    if (n - (end_ - pos_) > left_) {
      ThrowBadFile(path_, text::Message().Say(text::kPlyEndsInData));
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
    end_ -= pos_;
    pos_ = 0;
    const std::size_t want = std::max(n, std::size_t{1} << 20);
    if (buffer_.size() < want) buffer_.resize(want);
    while (end_ < n) {
      CheckNotStopped(path_);
      const std::size_t got = in_.Read(buffer_.data() + end_, buffer_.size() - end_);
      if (got == 0) ThrowBadFile(path_, text::Message().Say(text::kPlyEndsInData));
      end_ += got;
      left_ -= std::min<std::uint64_t>(left_, got);
    }
  }
  platform::InputFile& in_;
  std::string path_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  std::uint64_t left_;  // bytes the file still holds beyond the buffer
};

// The bytes of the binary file after its header (those RawLines read ahead included).
std::uint64_t AfterHeader(const std::string& header, std::string_view ahead, std::uint64_t size) {
  const std::uint64_t used = header.size() + ahead.size();
  return size > used ? size - used : 0;
}

// The size of the binary record of `el` at `at` in `held`; 0 when `held`
// does not hold it whole (or a count is negative: the record is taken
// piece by piece, which refuses it).
std::size_t RecordSize(std::string_view held, std::size_t at, const Element& el, bool big) {
  const auto* p = reinterpret_cast<const unsigned char*>(held.data());
  std::size_t size = 0;
  for (const Property& prop : el.properties) {
    const std::size_t value = SizeOf(prop.list ? prop.countType : prop.type);
    if (held.size() - at - size < value) return 0;
    if (prop.list) {
      const double count = Load(p + at + size, prop.countType, big);
      size += value;
      if (count < 0 || count * static_cast<double>(SizeOf(prop.type)) >
                           static_cast<double>(held.size() - at - size)) {
        return 0;
      }
      size += static_cast<std::size_t>(count) * SizeOf(prop.type);
    } else {
      size += value;
    }
  }
  return size;
}

// One list property of a binary record: its item count, then the items.
std::size_t TakeList(Body& body, const Property& p, bool big, const std::string& path,
                     unsigned char*& items) {
  const double count = Load(body.Take(SizeOf(p.countType)), p.countType, big);
  if (count < 0) ThrowBadFile(path, text::Message().Say(text::kPlyNegativeList));
  const auto n = static_cast<std::size_t>(count);
  items = body.Take(n * SizeOf(p.type));
  return n;
}

void AddPolygon(Mesh& mesh, const std::vector<double>& corners, const std::string& path,
                std::uint64_t record, std::uint64_t line) {
  if (corners.size() < 3) return;  // a point or an edge: no surface
  std::uint32_t first = 0, prev = 0;
  for (std::size_t k = 0; k < corners.size(); ++k) {
    const double c = corners[k];
    if (!(c >= 0.0) || c >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()) ||
        c != std::floor(c)) {
      const text::Message what = text::Message()
                                     .Say(text::kPlyFace)
                                     .Own(std::to_string(record + 1))
                                     .Say(text::kPlyNamesVertex)
                                     .Own(std::to_string(c))
                                     .Say(text::kPlyNoSuchVertex);
      if (line > 0) ThrowBadLine(path, line, what);
      ThrowBadFile(path, what);
    }
    const auto i = static_cast<std::uint32_t>(c);
    if (k == 0) first = i;
    if (k >= 2) mesh.triangles.push_back({first, prev, i});
    prev = i;
  }
}

void CheckIndices(const Mesh& mesh, const std::string& path) {
  const auto n = mesh.vertices.size();
  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    for (const std::uint32_t i : mesh.triangles[t]) {
      if (i >= n) {
        ThrowBadFile(path, text::Message()
                               .Say(text::kPlyFaceNames)
                               .Own(std::to_string(i))
                               .Say(text::kPlyFaceOf)
                               .Own(std::to_string(n))
                               .Say(text::kPlyFromZero));
      }
    }
  }
}

// The token index of each property in an ASCII record, lists walked.
bool TokenIndices(const Element& el, const std::vector<std::string_view>& tokens,
                  std::vector<std::size_t>& at) {
  at.clear();
  std::size_t k = 0;
  for (const Property& p : el.properties) {
    if (k >= tokens.size()) return false;
    at.push_back(k);
    if (p.list) {
      double count = 0.0;
      if (!TokenNumber(tokens[k], count) || !(count >= 0.0) || count > 1e9) return false;
      k += 1 + static_cast<std::size_t>(count);
    } else {
      ++k;
    }
  }
  return k <= tokens.size();
}

void SplitTokens(std::string_view line, std::vector<std::string_view>& tokens) {
  tokens.clear();
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && !IsSpace(line[i])) ++i;
    tokens.push_back(line.substr(start, i - start));
  }
}

// The line at `p`, its line feed included, split into `tokens`; `p` moves
// past it. One pass finds both.
std::string_view LineTokens(const char*& p, const char* end,
                            std::vector<std::string_view>& tokens) {
  tokens.clear();
  const char* const begin = p;
  for (;;) {
    while (p != end && *p != '\n' && IsSpace(*p)) ++p;
    if (p == end || *p == '\n') break;
    const char* const token = p;
    while (p != end && !IsSpace(*p)) ++p;
    tokens.emplace_back(token, static_cast<std::size_t>(p - token));
  }
  if (p != end) ++p;  // the line feed
  return {begin, static_cast<std::size_t>(p - begin)};
}

bool IsBlank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return IsSpace(c); });
}

[[noreturn]] void ThrowEndsBefore(const Element& el, std::uint64_t r, const std::string& path) {
  ThrowBadFile(path, text::Message()
                         .Say(text::kPlyEndsBefore)
                         .Own(el.name)
                         .Say(text::kPlyEndsBeforeAt)
                         .Own(std::to_string(r))
                         .Say(text::kPlyEndsOf)
                         .Own(std::to_string(el.count))
                         .Say(text::kPlyEndsClose));
}

[[noreturn]] void ThrowTooFew(const Element& el, std::uint64_t line, const std::string& path) {
  ThrowBadLine(path, line,
               text::Message().Say(text::kPlyTooFew).Own(el.name).Say(text::kPlyTooFewEnd));
}

// What the walk does with an element: walk its records, go on past it (the
// caller read them), or stop.
enum class Walk { records, taken, stop };

// Walks the ASCII body: `f(element, record, line, tokens, token indices)` for
// each record, until it returns false. Only the records of the elements
// `wanted` are split into tokens; the others come with none. `take`, asked
// at each element, may read its records itself.
template <class F>
void WalkAscii(RawLines& lines, const Header& h, const std::string& path,
               const std::vector<bool>& wanted, F&& f,
               const std::function<void(std::string_view)>& blank = {},
               const std::function<Walk(std::size_t)>& take = {}) {
  std::vector<std::string_view> tokens;
  std::vector<std::size_t> at;
  std::string_view line;
  for (std::size_t e = 0; e < h.elements.size(); ++e) {
    const Element& el = h.elements[e];
    const Walk walk = take ? take(e) : Walk::records;
    if (walk == Walk::stop) return;
    if (walk == Walk::taken) continue;
    for (std::uint64_t r = 0; r < el.count;) {
      if (!lines.Next(line)) ThrowEndsBefore(el, r, path);
      if (IsBlank(line)) {
        if (blank) blank(line);
        continue;
      }
      tokens.clear();
      at.clear();
      if (wanted[e]) SplitTokens(line, tokens);
      if (wanted[e] && !TokenIndices(el, tokens, at)) ThrowTooFew(el, lines.line(), path);
      if (!f(e, r, line, tokens, at)) return;
      ++r;
    }
  }
}

double Number(std::string_view token, const std::string& path, std::uint64_t line) {
  double v = 0.0;
  if (!TokenNumber(token, v)) {
    ThrowBadLine(path, line,
                 text::Message().Own("\"").Own(token.substr(0, 40)).Say(text::kPlyNotNumber));
  }
  return v;
}

// The records of ASCII element `el` in blocks of about `block` bytes on
// every thread: parse(slot, line, its number, record, tokens, token indices)
// on the thread that read the block, then deliver(slot) in file order.
template <class Slot, class Parse, class Deliver>
void ReadAsciiElement(RawLines& lines, const Element& el, const std::string& path, unsigned threads,
                      std::size_t block, Parse&& parse, Deliver&& deliver) {
  struct Read {
    std::string text;
    std::uint64_t firstLine = 0, firstRecord = 0;
    std::vector<std::string_view> tokens;
    std::vector<std::size_t> at;
    Slot slot;
  };
  std::vector<Read> slots(threads);
  std::uint64_t r = 0;  // records read
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t k) {
    if (r == el.count) return false;
    Read& s = slots[k];
    s.text.clear();
    s.firstLine = lines.line() + 1;
    s.firstRecord = r;
    std::string_view line;
    while (r < el.count && s.text.size() < block) {
      if (!lines.Next(line)) ThrowEndsBefore(el, r, path);
      s.text.append(line);
      if (!IsBlank(line)) ++r;
    }
    return true;
  };
  blocks.move = [&](std::size_t, std::size_t k) {
    Read& s = slots[k];
    std::uint64_t number = s.firstLine, record = s.firstRecord;
    const char* const end = s.text.data() + s.text.size();
    for (const char* p = s.text.data(); p != end; ++number) {
      LineTokens(p, end, s.tokens);
      if (s.tokens.empty()) continue;  // a blank line
      if (!TokenIndices(el, s.tokens, s.at)) ThrowTooFew(el, number, path);
      parse(s.slot, number, record++, s.tokens, s.at);
    }
  };
  blocks.write = [&](std::size_t, std::size_t k) { deliver(slots[k].slot); };
  RunRecordBlocks(blocks, threads);
}

}  // namespace

void ReadPlyMesh(const std::string& path, Mesh& mesh, bool faces, const StreamOptions& options) {
  mesh = Mesh();
  platform::InputFile in;
  OpenMeshFile(in, path);
  RawLines lines(in, path);
  const Header h = ReadHeader(lines, path, in.Size());
  const Element& vertex = h.elements[static_cast<std::size_t>(h.vertex)];
  // Binary records of one size are all there (the header was checked against
  // the file's size); ASCII ones may be shorter than the least a count allows for.
  mesh.vertices.reserve(static_cast<std::size_t>(
      h.binary() && vertex.fixed ? vertex.count
                                 : std::min<std::uint64_t>(vertex.count, std::uint64_t{1} << 20)));
  std::vector<double> corners;
  if (!h.binary()) {
    std::vector<bool> wanted(h.elements.size(), false);
    wanted[static_cast<std::size_t>(h.vertex)] = true;
    if (faces && h.face >= 0) wanted[static_cast<std::size_t>(h.face)] = true;
    // The vertices and faces are read in blocks on every thread.
    const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 20;
    // A file of one block stays on this thread.
    const auto threads =
        in.Size() <= block ? 1u : static_cast<unsigned>(StreamThreads(options.threads));
    struct Part {
      Mesh mesh;
      std::vector<double> corners;
    };
    const auto deliver = [&](Part& part) {
      mesh.vertices.insert(mesh.vertices.end(), part.mesh.vertices.begin(),
                           part.mesh.vertices.end());
      mesh.triangles.insert(mesh.triangles.end(), part.mesh.triangles.begin(),
                            part.mesh.triangles.end());
      part.mesh.vertices.clear();
      part.mesh.triangles.clear();
    };
    using TokenList = std::vector<std::string_view>;
    using Indices = std::vector<std::size_t>;
    WalkAscii(
        lines, h, path, wanted,
        [&](std::size_t, std::uint64_t, std::string_view, const TokenList&, const Indices&) {
          return true;
        },
        {},
        [&](std::size_t e) {
          const auto index = static_cast<int>(e);
          const Element& el = h.elements[e];
          if (index == h.vertex) {
            ReadAsciiElement<Part>(
                lines, el, path, threads, block,
                [&](Part& part, std::uint64_t line, std::uint64_t, const TokenList& t,
                    const Indices& at) {
                  const auto get = [&](int p) {
                    return Number(t[at[static_cast<std::size_t>(p)]], path, line);
                  };
                  part.mesh.vertices.emplace_back(get(el.x), get(el.y), get(el.z));
                },
                deliver);
            return Walk::taken;
          }
          if (index == h.face && faces) {
            ReadAsciiElement<Part>(
                lines, el, path, threads, block,
                [&](Part& part, std::uint64_t line, std::uint64_t record, const TokenList& t,
                    const Indices& at) {
                  const std::size_t k = at[static_cast<std::size_t>(el.faceList)];
                  const auto n = static_cast<std::size_t>(Number(t[k], path, line));
                  part.corners.clear();
                  for (std::size_t c = 0; c < n; ++c)
                    part.corners.push_back(Number(t[k + 1 + c], path, line));
                  AddPolygon(part.mesh, part.corners, path, record, line);
                },
                deliver);
            return Walk::taken;
          }
          return Walk::records;
        });
  } else {
    const std::string_view ahead = lines.Rest();
    Body body(in, path, ahead, AfterHeader(h.text, ahead, in.Size()));
    const bool big = h.big();
    for (std::size_t e = 0; e < h.elements.size(); ++e) {
      const Element& el = h.elements[e];
      const auto index = static_cast<int>(e);
      if (index > h.vertex && (index > h.face || !faces)) break;  // nothing more is needed
      for (std::uint64_t r = 0; r < el.count; ++r) {
        if (el.fixed) {
          const unsigned char* p = body.Take(el.size);
          if (index == h.vertex) {
            const auto get = [&](int k) {
              const auto i = static_cast<std::size_t>(k);
              return Load(p + el.offsets[i], el.properties[i].type, big);
            };
            mesh.vertices.emplace_back(get(el.x), get(el.y), get(el.z));
          }
          continue;
        }
        std::vector<double> values(el.properties.size());
        corners.clear();
        for (std::size_t k = 0; k < el.properties.size(); ++k) {
          const Property& prop = el.properties[k];
          if (!prop.list) {
            values[k] = Load(body.Take(SizeOf(prop.type)), prop.type, big);
            continue;
          }
          unsigned char* items = nullptr;
          const std::size_t n = TakeList(body, prop, big, path, items);
          if (index == h.face && static_cast<int>(k) == el.faceList) {
            for (std::size_t c = 0; c < n; ++c)
              corners.push_back(Load(items + c * SizeOf(prop.type), prop.type, big));
          }
        }
        if (index == h.vertex) {
          mesh.vertices.emplace_back(values[static_cast<std::size_t>(el.x)],
                                     values[static_cast<std::size_t>(el.y)],
                                     values[static_cast<std::size_t>(el.z)]);
        }
        if (index == h.face && faces) AddPolygon(mesh, corners, path, r, 0);
      }
    }
  }
  CheckIndices(mesh, path);
}

namespace {

struct PlyMotion {
  const MeshMotion& motion;
  const Element& vertex;
  bool normals;  // nx, ny, nz are all there
};

void CheckTypes(const Element& v, bool normals, const std::string& path) {
  for (const int k : {v.x, v.y, v.z}) {
    if (!IsFloat(v.properties[static_cast<std::size_t>(k)].type)) {
      ThrowBadFile(path, text::Message().Say(text::kPlyWholePositions));
    }
  }
  if (!normals) return;
  for (const int k : {v.nx, v.ny, v.nz}) {
    if (!IsFloat(v.properties[static_cast<std::size_t>(k)].type)) {
      ThrowBadFile(path, text::Message().Say(text::kPlyWholeNormals));
    }
  }
}

void Store(unsigned char* p, Type t, double v, bool big) {
  if (t == Type::f32) {
    StoreFloat(p, static_cast<float>(v), big);
  } else {
    StoreDouble(p, v, big);
  }
}

// Moves one binary vertex record in place.
void MoveRecord(unsigned char* p, const Element& el, const std::vector<std::size_t>& offsets,
                const MeshMotion& motion, bool normals, bool big, const std::string& path) {
  const auto at = [&](int k) { return static_cast<std::size_t>(k); };
  const auto& props = el.properties;
  const geometry::Vector3 before(Load(p + offsets[at(el.x)], props[at(el.x)].type, big),
                                 Load(p + offsets[at(el.y)], props[at(el.y)].type, big),
                                 Load(p + offsets[at(el.z)], props[at(el.z)].type, big));
  const geometry::Vector3 after = motion.Point(before);
  const bool single = props[at(el.x)].type == Type::f32 || props[at(el.y)].type == Type::f32 ||
                      props[at(el.z)].type == Type::f32;
  CheckMovedInRange(before, after,
                    single ? std::numeric_limits<float>::max() : std::numeric_limits<double>::max(),
                    path, 0);
  const int xyz[3] = {el.x, el.y, el.z};
  for (int i = 0; i < 3; ++i) Store(p + offsets[at(xyz[i])], props[at(xyz[i])].type, after[i], big);
  if (!normals) return;
  const int n[3] = {el.nx, el.ny, el.nz};
  geometry::Vector3 v;
  for (int i = 0; i < 3; ++i) v[i] = Load(p + offsets[at(n[i])], props[at(n[i])].type, big);
  const geometry::Vector3 turned = motion.Normal(v);
  for (int i = 0; i < 3; ++i) Store(p + offsets[at(n[i])], props[at(n[i])].type, turned[i], big);
}

// Where a fixed-size vertex record's float32 values are, when all of them are float32.
std::optional<FloatRecords> FloatLayout(const Element& el, bool normals, bool big) {
  const auto f32 = [&](int k) {
    return el.properties[static_cast<std::size_t>(k)].type == Type::f32;
  };
  const auto at = [&](int k) { return el.offsets[static_cast<std::size_t>(k)]; };
  if (!f32(el.x) || !f32(el.y) || !f32(el.z)) return std::nullopt;
  if (normals && (!f32(el.nx) || !f32(el.ny) || !f32(el.nz))) return std::nullopt;
  FloatRecords l;
  l.stride = el.size;
  l.position[0][0] = at(el.x), l.position[0][1] = at(el.y), l.position[0][2] = at(el.z);
  l.normals = normals;
  if (normals) l.normal[0] = at(el.nx), l.normal[1] = at(el.ny), l.normal[2] = at(el.nz);
  l.big = big;
  return l;
}

void ReplayBinary(platform::InputFile& in, RawLines& lines, const Header& h,
                  const std::string& input, platform::AtomicOutput& out, const MeshMotion& motion,
                  bool normals, const StreamOptions& options, ReplayCounts& counts) {
  out.Write(h.text);
  const std::string_view ahead = lines.Rest();
  Body body(in, input, ahead, AfterHeader(h.text, ahead, in.Size()));
  const bool big = h.big();
  const auto threads = static_cast<unsigned>(StreamThreads(options.threads));
  const int last = motion.mirrors ? std::max(h.vertex, h.face) : h.vertex;
  for (std::size_t e = 0; e < h.elements.size() && static_cast<int>(e) <= last; ++e) {
    const Element& el = h.elements[e];
    const auto index = static_cast<int>(e);
    if (el.fixed) {
      // Records of one size: in blocks, moved on several threads.
      const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 22;
      const std::size_t per_block =
          std::max<std::size_t>(1, block / std::max<std::size_t>(1, el.size));
      const auto records_in = [&](std::size_t k) {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(el.count - std::uint64_t{k} * per_block, per_block));
      };
      const auto block_count = static_cast<std::size_t>((el.count + per_block - 1) / per_block);
      std::vector<RecordBuffer> slots(threads);
      RecordBlocks blocks;
      blocks.read = [&](std::size_t k, std::size_t slot) {
        if (k == block_count) return false;
        slots[slot].resize(records_in(k) * el.size);
        body.TakeInto(slots[slot].data(), slots[slot].size());
        return true;
      };
      // Float32 positions (and normals), the common case, four records at a time.
      std::optional<FloatRecords> floats;
      if (index == h.vertex) floats = FloatLayout(el, normals, big);
      blocks.move = [&](std::size_t, std::size_t slot) {
        if (index != h.vertex) return;
        RecordBuffer& data = slots[slot];
        if (floats) {
          MoveFloatRecords(data.data(), data.size() / el.size, *floats, motion, input);
          return;
        }
        for (std::size_t i = 0; i < data.size(); i += el.size)
          MoveRecord(data.data() + i, el, el.offsets, motion, normals, big, input);
      };
      blocks.write = [&](std::size_t, std::size_t slot) {
        out.Write(std::string_view(reinterpret_cast<const char*>(slots[slot].data()),
                                   slots[slot].size()));
      };
      RunRecordBlocks(blocks, threads);
      if (index == h.vertex) counts.vertices = el.count;
      continue;
    }
    // Records with lists: each block's records are taken in turn, their
    // sizes read from their counts; they are turned round or moved on any thread.
    struct Listed {
      std::string bytes;
      std::vector<std::size_t> offsets;
    };
    std::vector<Listed> listed(threads);
    const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 22;
    std::uint64_t r = 0;  // records taken
    RecordBlocks blocks;
    blocks.read = [&](std::size_t, std::size_t slot) {
      if (r == el.count) return false;
      std::string& bytes = listed[slot].bytes;
      bytes.clear();
      const auto take = [&](std::size_t n) {
        const unsigned char* p = body.Take(n);
        bytes.append(reinterpret_cast<const char*>(p), n);
        return p;
      };
      while (r < el.count && bytes.size() < block) {
        // Whole records among the bytes read ahead, measured where they are.
        const std::string_view held = body.Held();
        std::size_t at = 0;
        for (std::size_t size = 0; r < el.count && bytes.size() + at < block &&
                                   (size = RecordSize(held, at, el, big)) > 0;
             ++r) {
          at += size;
        }
        if (at > 0) {
          bytes.append(held.data(), at);
          body.Skip(at);
          continue;
        }
        // A record the bytes read ahead do not hold whole: piece by piece.
        ++r;
        for (const Property& p : el.properties) {
          if (!p.list) {
            take(SizeOf(p.type));
            continue;
          }
          const double count = Load(take(SizeOf(p.countType)), p.countType, big);
          if (count < 0) ThrowBadFile(input, text::Message().Say(text::kPlyNegativeList));
          take(static_cast<std::size_t>(count) * SizeOf(p.type));
        }
      }
      return true;
    };
    blocks.move = [&](std::size_t, std::size_t slot) {
      if (index != h.vertex && !(index == h.face && motion.mirrors)) return;
      Listed& s = listed[slot];
      s.offsets.resize(el.properties.size());
      auto* const data = reinterpret_cast<unsigned char*>(s.bytes.data());
      for (std::size_t at = 0; at < s.bytes.size();) {
        const std::size_t start = at;
        for (std::size_t k = 0; k < el.properties.size(); ++k) {
          const Property& p = el.properties[k];
          s.offsets[k] = at - start;
          if (!p.list) {
            at += SizeOf(p.type);
            continue;
          }
          const std::size_t item = SizeOf(p.type);
          const auto n = static_cast<std::size_t>(Load(data + at, p.countType, big));
          at += SizeOf(p.countType);
          if (index == h.face && static_cast<int>(k) == el.faceList && n > 2) {
            // The first corner stays first; the rest are listed the other way round.
            unsigned char* items = data + at;
            for (std::size_t a = 1, b = n - 1; a < b; ++a, --b) {
              for (std::size_t i = 0; i < item; ++i)
                std::swap(items[a * item + i], items[b * item + i]);
            }
          }
          at += n * item;
        }
        if (index == h.vertex) MoveRecord(data + start, el, s.offsets, motion, normals, big, input);
      }
    };
    blocks.write = [&](std::size_t, std::size_t slot) { out.Write(listed[slot].bytes); };
    RunRecordBlocks(blocks, threads);
    if (index == h.vertex) counts.vertices = el.count;
  }
  body.Rest(out);
}

// The significant digits of the positions' and the normals' numbers.
void ScanDigits(const std::string& path, int& positions, int& normals_digits) {
  platform::InputFile in;
  OpenMeshFile(in, path);
  RawLines lines(in, path);
  const Header h = ReadHeader(lines, path, in.Size());
  const Element& v = h.elements[static_cast<std::size_t>(h.vertex)];
  const auto token = [](int k, const std::vector<std::string_view>& t,
                        const std::vector<std::size_t>& at) {
    return t[at[static_cast<std::size_t>(k)]];
  };
  std::vector<bool> wanted(h.elements.size(), false);
  wanted[static_cast<std::size_t>(h.vertex)] = true;
  WalkAscii(lines, h, path, wanted,
            [&](std::size_t e, std::uint64_t r, std::string_view,
                const std::vector<std::string_view>& t, const std::vector<std::size_t>& at) {
              if (static_cast<int>(e) != h.vertex) return true;
              for (const int k : {v.x, v.y, v.z})
                positions = std::max(positions, SignificantDigits(token(k, t, at)));
              if (v.nx >= 0 && v.ny >= 0 && v.nz >= 0) {
                for (const int k : {v.nx, v.ny, v.nz})
                  normals_digits = std::max(normals_digits, SignificantDigits(token(k, t, at)));
              }
              return r + 1 < v.count;  // past the vertices nothing counts
            });
}

// What becomes of each token of a record: a moved number, another token (a
// face turned round) or, when not `changed`, itself.
struct Change {
  bool changed = false;
  double value = 0.0;
  const NumberStyle* style = nullptr;  // null: `token` instead of a number
  std::string_view token;
};

// Rewrites ASCII records: a vertex moved, a face turned round under a mirror.
struct AsciiRewrite {
  const Header& h;
  const MeshMotion& motion;
  bool normals;
  NumberStyle positions, normalStyle;
  const TextDigits& digits;
  const std::string& input;

  // Appends vertex record `line` (number `line_number`), moved, to `text`.
  // False when one of its numbers carries more digits than are written
  // (`position_digits` and `normal_digits` then raised): start again.
  bool Vertex(std::string_view line, std::uint64_t line_number,
              const std::vector<std::string_view>& t, const std::vector<std::size_t>& at,
              int& position_digits, int& normal_digits, std::vector<Change>& changes,
              TextOut& text) const {
    const Element& v = h.elements[static_cast<std::size_t>(h.vertex)];
    const auto k = [&](int p) { return at[static_cast<std::size_t>(p)]; };
    bool again = false;
    for (const int p : {v.x, v.y, v.z})
      again = digits.Raise(position_digits, t[k(p)], positions) || again;
    if (normals) {
      for (const int p : {v.nx, v.ny, v.nz})
        again = digits.Raise(normal_digits, t[k(p)], normalStyle) || again;
    }
    if (again) return false;
    changes.assign(t.size(), Change());
    const auto set = [&](std::size_t i, double value, const NumberStyle& s) {
      changes[i] = {true, value, &s, {}};
    };
    const geometry::Vector3 before(Number(t[k(v.x)], input, line_number),
                                   Number(t[k(v.y)], input, line_number),
                                   Number(t[k(v.z)], input, line_number));
    const geometry::Vector3 after = motion.Point(before);
    CheckMovedInRange(before, after, std::numeric_limits<double>::max(), input, line_number);
    set(k(v.x), after.x(), positions);
    set(k(v.y), after.y(), positions);
    set(k(v.z), after.z(), positions);
    if (normals) {
      const geometry::Vector3 n = motion.Normal({Number(t[k(v.nx)], input, line_number),
                                                 Number(t[k(v.ny)], input, line_number),
                                                 Number(t[k(v.nz)], input, line_number)});
      set(k(v.nx), n.x(), normalStyle);
      set(k(v.ny), n.y(), normalStyle);
      set(k(v.nz), n.z(), normalStyle);
    }
    Write(line, t, changes, text);
    return true;
  }

  // Appends face record `line` to `text` with its corners listed the other way round.
  void Face(std::string_view line, std::uint64_t line_number,
            const std::vector<std::string_view>& t, const std::vector<std::size_t>& at,
            std::vector<Change>& changes, TextOut& text) const {
    const Element& face = h.elements[static_cast<std::size_t>(h.face)];
    changes.assign(t.size(), Change());
    const std::size_t k = at[static_cast<std::size_t>(face.faceList)];
    const auto n = static_cast<std::size_t>(Number(t[k], input, line_number));
    for (std::size_t c = 1; c < n; ++c) changes[k + c + 1] = {true, 0.0, nullptr, t[k + 1 + n - c]};
    Write(line, t, changes, text);
  }

  static void Write(std::string_view line, const std::vector<std::string_view>& t,
                    const std::vector<Change>& changes, TextOut& text) {
    std::size_t numbers = 0;
    for (const Change& c : changes) numbers += c.style != nullptr ? 1 : 0;
    // Tokens put in place of others are tokens of the line.
    char* w = text.Room(2 * line.size() + numbers * kNumberRoom);
    const auto copy = [&w](std::string_view bytes) {
      std::memcpy(w, bytes.data(), bytes.size());
      w += bytes.size();
    };
    std::size_t from = 0;
    for (std::size_t k = 0; k < t.size(); ++k) {
      const Change& c = changes[k];
      if (!c.changed) continue;
      const auto start = static_cast<std::size_t>(t[k].data() - line.data());
      copy(line.substr(from, start - from));
      if (c.style != nullptr) {
        w = WriteNumber(w, c.value, *c.style, HasExponent(t[k]));
      } else {
        copy(c.token);
      }
      from = start + t[k].size();
    }
    copy(line.substr(from));
    text.Advance(w);
  }
};

// The records of ASCII element `el` in blocks of about `block_bytes`, each
// rewritten on whichever thread read it, `rewrite(line, its number, tokens,
// token indices, changes, out, digits)`, and written in file order; blank
// lines are kept. `digits` (positions, normals) start each block as
// `initial`; a rewrite that returns false throws MoreDigits with them.
// Returns the records.
template <class Rewrite>
std::uint64_t ReplayAsciiRecords(RawLines& lines, const Element& el, const std::string& input,
                                 platform::AtomicOutput& out, const int (&initial)[2],
                                 unsigned threads, std::size_t block_bytes, Rewrite&& rewrite) {
  struct Slot {
    std::string in;
    TextOut out;
    std::uint64_t firstLine = 0;
    std::vector<std::string_view> tokens;
    std::vector<std::size_t> at;
    std::vector<Change> changes;
  };
  std::vector<Slot> slots(threads);
  std::uint64_t r = 0;  // records read
  RecordBlocks blocks;
  blocks.read = [&](std::size_t, std::size_t slot) {
    if (r == el.count) return false;
    Slot& s = slots[slot];
    s.in.clear();
    s.firstLine = lines.line() + 1;
    std::string_view line;
    while (r < el.count && s.in.size() < block_bytes) {
      if (!lines.Next(line)) ThrowEndsBefore(el, r, input);
      s.in.append(line);
      if (!IsBlank(line)) ++r;
    }
    return true;
  };
  blocks.move = [&](std::size_t, std::size_t slot) {
    Slot& s = slots[slot];
    s.out.clear();
    int digits[2] = {initial[0], initial[1]};
    std::uint64_t number = s.firstLine;
    const char* const end = s.in.data() + s.in.size();
    for (const char* p = s.in.data(); p != end; ++number) {
      const std::string_view line = LineTokens(p, end, s.tokens);
      if (s.tokens.empty()) {  // a blank line
        s.out.Append(line);
        continue;
      }
      if (!TokenIndices(el, s.tokens, s.at)) ThrowTooFew(el, number, input);
      if (!rewrite(line, number, s.tokens, s.at, s.changes, s.out, digits)) {
        throw MoreDigits{digits[0], digits[1]};
      }
    }
  };
  blocks.write = [&](std::size_t, std::size_t slot) { out.Write(slots[slot].out.view()); };
  RunRecordBlocks(blocks, threads);
  return r;
}

// False when a number carries more digits than `digits` had: start again.
bool ReplayAscii(RawLines& lines, const Header& h, const std::string& input,
                 platform::AtomicOutput& out, const MeshMotion& motion, bool normals,
                 const ReplayStyle& style, ReplayCounts& counts, TextDigits& digits,
                 const StreamOptions& options) {
  const AsciiRewrite rewrite{h,
                             motion,
                             normals,
                             NumberStyleOf(style, digits.positions),
                             NumberStyleOf(style, digits.normals),
                             digits,
                             input};
  out.Write(h.text);
  std::vector<bool> wanted(h.elements.size(), false);
  if (motion.mirrors && h.face >= 0) wanted[static_cast<std::size_t>(h.face)] = true;
  bool again = false;
  const auto threads = static_cast<unsigned>(StreamThreads(options.threads));
  const std::size_t block = options.block != 0 ? options.block : std::size_t{1} << 20;
  // The walk copies the records of the elements that no block rewrites.
  WalkAscii(
      lines, h, input, std::vector<bool>(h.elements.size(), false),
      [&](std::size_t, std::uint64_t, std::string_view line, const std::vector<std::string_view>&,
          const std::vector<std::size_t>&) {
        out.Write(line);
        return true;
      },
      [&](std::string_view blank) { out.Write(blank); },
      [&](std::size_t e) {
        using Tokens = std::vector<std::string_view>;
        using Indices = std::vector<std::size_t>;
        const int initial[2] = {digits.positions, digits.normals};
        if (wanted[e]) {
          // The faces turned round, in blocks as the vertices.
          ReplayAsciiRecords(
              lines, h.elements[e], input, out, initial, threads, block,
              [&](std::string_view line, std::uint64_t number, const Tokens& t, const Indices& at,
                  std::vector<Change>& c, TextOut& to, int(&)[2]) {
                rewrite.Face(line, number, t, at, c, to);
                return true;
              });
          return Walk::taken;
        }
        if (static_cast<int>(e) != h.vertex) return Walk::records;
        try {
          counts.vertices += ReplayAsciiRecords(
              lines, h.elements[e], input, out, initial, threads, block,
              [&](std::string_view line, std::uint64_t number, const Tokens& t, const Indices& at,
                  std::vector<Change>& c, TextOut& to,
                  int(&d)[2]) { return rewrite.Vertex(line, number, t, at, d[0], d[1], c, to); });
        } catch (const MoreDigits& more) {
          digits.positions = std::max(digits.positions, more.positions);
          digits.normals = std::max(digits.normals, more.normals);
          again = true;
          return Walk::stop;
        }
        return Walk::taken;
      });
  if (again) return false;
  // Whatever follows the last record is kept as it is.
  std::string_view line;
  while (lines.Next(line)) out.Write(line);
  return true;
}

}  // namespace

void ReplayPlyFile(const std::string& input, const std::string& output, const geometry::Matrix4& m,
                   const StreamOptions& options, const ReplayStyle& style, ReplayCounts* counts,
                   const std::function<void(const ReplayCounts&)>& vet) {
  const MeshMotion motion(m);
  TextDigits digits;
  for (;;) {
    platform::InputFile in;
    OpenMeshFile(in, input);
    RawLines lines(in, input);
    const Header h = ReadHeader(lines, input, in.Size());
    const Element& v = h.elements[static_cast<std::size_t>(h.vertex)];
    const bool normals = v.nx >= 0 && v.ny >= 0 && v.nz >= 0;
    CheckTypes(v, normals, input);
    if (!h.binary() && !style.digitsChosen && !digits.prescanned && !CanStartAgain(output)) {
      ScanDigits(input, digits.positions, digits.normals);
      digits.prescanned = true;
    }
    platform::AtomicOutput out(output);
    ReplayCounts found;
    if (h.binary()) {
      ReplayBinary(in, lines, h, input, out, motion, normals, options, found);
    } else if (!ReplayAscii(lines, h, input, out, motion, normals, style, found, digits, options)) {
      continue;  // the output abandoned, its temporary file removed
    }
    if (vet) vet(found);
    out.Commit();
    if (counts != nullptr) *counts = found;
    return;
  }
}

}  // namespace korvane::obj
