// What the STL and PLY readers and replays share: the motion as they apply
// it, number text that keeps the input's precision, little- and big-endian
// values, lines read byte for byte, and corners welded into vertices.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/geometry.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "text/message.h"

namespace korvane::obj {

// The motion for positions and for normals (the inverse transpose, then unit
// length; a zero normal, which says "none", stays zero).
struct MeshMotion {
  explicit MeshMotion(const geometry::Matrix4& m);
  geometry::Vector3 Point(const geometry::Vector3& p) const { return linear * p + shift; }
  // Inline: binary replays call it once a record.
  geometry::Vector3 Normal(const geometry::Vector3& n) const {
    if (n.x() == 0.0 && n.y() == 0.0 && n.z() == 0.0) return n;  // none: many STL writers
    const geometry::Vector3 t = normal * n;
    const double length = t.norm();
    if (!(length > 0.0) || !std::isfinite(length)) return t;  // none (zero) stays none
    return t / length;
  }
  Eigen::Matrix3d linear;
  Eigen::Vector3d shift;
  Eigen::Matrix3d normal;
  bool mirrors = false;  // faces are listed the other way round to keep facing out
};

// Raises Error::Kind::number_out_of_range for a finite position that the
// motion carried out of the range its type holds (`limit`: the largest finite value).
[[noreturn]] void ThrowCarriedOutOfRange(const std::string& path, std::uint64_t line);
// Whether the motion carried a finite position (`before`) out of the range
// its type holds (`limit`: the largest finite value).
inline bool CarriedOutOfRange(const geometry::Vector3& before, const geometry::Vector3& after,
                              double limit) {
  if (after.cwiseAbs().maxCoeff() <= limit) return false;  // NaN fails here too
  for (int k = 0; k < 3; ++k) {
    if (std::isfinite(before[k]) && !(std::fabs(after[k]) <= limit)) return true;
  }
  return false;
}
inline void CheckMovedInRange(const geometry::Vector3& before, const geometry::Vector3& after,
                              double limit, const std::string& path, std::uint64_t line) {
  if (CarriedOutOfRange(before, after, limit)) ThrowCarriedOutOfRange(path, line);
}

// How numbers of a text format are written.
struct NumberStyle {
  int decimals = -1;    // >= 0: that many decimals; kShortest: the fewest that read back
  int significant = 0;  // when decimals < 0 and not shortest: significant digits
  bool shortest = false;
};
// The digits chosen in `style`, else at least `significant` (the input's).
NumberStyle NumberStyleOf(const ReplayStyle& style, int significant);
// The significant digits an ASCII replay writes, unless they were chosen: at
// first what a float carries; a number that carries more starts the replay
// again with as many (files write their numbers alike, so this is rare and
// early). Where the output cannot be started again (standard output, a
// device) a first pass over the input finds them instead.
struct TextDigits {
  int positions = 0;
  int normals = 0;
  bool prescanned = false;
  // Raises `field` to what `token` carries; true when that is more than
  // `written` has, so the replay must start again.
  bool Raise(int& field, std::string_view token, const NumberStyle& written) const;
};
// Thrown by a block of an ASCII replay whose numbers carry more digits than
// are written: the replay starts again with at least these.
struct MoreDigits {
  int positions, normals;
};
// Whether a replay into `output` may be abandoned and started again.
bool CanStartAgain(const std::string& output);
// The significant digits a number's text carries ("0.00120" 3, "-1.5e3" 2, "0" 1).
int SignificantDigits(std::string_view token);
// `value` as text in `style`; `scientific` keeps the input number's exponent form.
void AppendNumber(std::string& out, double value, const NumberStyle& style, bool scientific);
// The same at `w`, which has room for kNumberRoom bytes; returns its end.
inline constexpr std::size_t kNumberRoom = 400;
char* WriteNumber(char* w, double value, const NumberStyle& style, bool scientific);

// Text built in place: room is made once for a line, and its pieces are
// copied in without a call each.
class TextOut {
 public:
  // Room for n bytes at the end; Advance to the end of what was written.
  char* Room(std::size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return bytes_.get() + size_;
  }
  void Advance(char* end) { size_ = static_cast<std::size_t>(end - bytes_.get()); }
  void Append(std::string_view s) {
    char* w = Room(s.size());
    if (!s.empty()) std::memcpy(w, s.data(), s.size());
    size_ += s.size();
  }
  std::string_view view() const { return {bytes_.get(), size_}; }
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }

 private:
  void Grow(std::size_t n);
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0, capacity_ = 0;
};
inline bool HasExponent(std::string_view token) {
  return token.find_first_of("eE") != std::string_view::npos;
}

// A token is a run of bytes other than space, tab, CR, LF, VT, FF.
inline constexpr std::array<bool, 256> kSpaceBytes = [] {
  std::array<bool, 256> t{};
  for (const char c : {' ', '\t', '\r', '\n', '\v', '\f'}) t[static_cast<unsigned char>(c)] = true;
  return t;
}();
inline bool IsSpace(char c) { return kSpaceBytes[static_cast<unsigned char>(c)]; }
// Splits `line` into at most `most` tokens, with their offsets; returns how many.
std::size_t Tokens(std::string_view line, std::string_view* tokens, std::size_t most);
// Reads a whole number token as a double; false when it is not one.
bool TokenNumber(std::string_view token, double& value);

// Lines of a file exactly as they are: each with its line feed (the last may
// have none). A line longer than kMaxLinePiece is refused, naming its line.
class RawLines {
 public:
  RawLines(platform::InputFile& in, std::string path, std::uint64_t first_line = 1)
      : in_(in), path_(std::move(path)), line_(first_line - 1) {}
  // The next line, valid until the following call; false at the end.
  bool Next(std::string_view& line);
  std::uint64_t line() const { return line_; }  // the number of the line returned last
  // The bytes after the lines returned so far, for a binary part that follows.
  std::string_view Rest() const { return {buffer_.data() + pos_, end_ - pos_}; }
  void Consume(std::size_t n) { pos_ += n; }

 private:
  platform::InputFile& in_;
  std::string path_;
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 20);
  std::size_t pos_ = 0, end_ = 0, scan_ = 0;
  bool eof_ = false;
  std::uint64_t line_;
};

// A text file in large blocks, for RecordBlocks: each block takes the bytes
// the one before left, reads on to about `block` bytes and is cut where
// `cut` allows (after a line feed), the rest going to the next block. Read
// in one piece rather than line by line: the reading is done in file order
// while the blocks' lines are read on every thread.
class TextBlocks {
 public:
  TextBlocks(platform::InputFile& in, std::string path, std::size_t block,
             std::size_t longest = kMaxLinePiece)
      : in_(in), path_(std::move(path)), block_(block), longest_(longest) {}
  // The next block, valid until the next call for the same `text`; false at
  // the end. `cut(view)` is where the block may end (0: nowhere yet; a block
  // then grows); the file's last block is all that is left. `too_long`
  // says that a line longer than `longest` follows the block's whole
  // lines: it is refused, and nothing after it is read.
  struct Text {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0, capacity = 0;
    std::string_view view() const { return {bytes.get(), size}; }
  };
  template <class Cut>
  bool Next(Text& text, bool& too_long, Cut&& cut) {
    too_long = false;
    text.size = 0;
    if (ended_) return false;
    Reserve(text, std::max(block_, carry_.size()));
    if (!carry_.empty()) std::memcpy(text.bytes.get(), carry_.data(), carry_.size());
    text.size = carry_.size();
    carry_.clear();
    std::size_t open = 0;  // where the last line begun starts
    for (std::size_t want = block_;; want = 2 * text.size) {
      Fill(text, want);
      const std::string_view view = text.view();
      const std::size_t long_line = LongLine(view, open);
      if (long_line != std::string_view::npos) {
        text.size = long_line;
        too_long = ended_ = true;
        return true;
      }
      if (eof_) {
        ended_ = true;
        return text.size > 0;
      }
      const std::size_t at = cut(view);
      if (at > 0) {
        carry_.assign(view.substr(at));
        text.size = at;
        return true;
      }
      const std::size_t last = view.rfind('\n');
      open = last == std::string_view::npos ? 0 : last + 1;
    }
  }

 private:
  static void Reserve(Text& text, std::size_t capacity);
  // The start of the first line from `from` on longer than longest_, or npos.
  std::size_t LongLine(std::string_view text, std::size_t from) const;
  void Fill(Text& text, std::size_t want);
  platform::InputFile& in_;
  std::string path_;
  std::size_t block_, longest_;
  std::string carry_;
  bool eof_ = false, ended_ = false;
};

// Corners into vertices: equal positions (exactly, 0 and -0 alike) get one
// vertex, numbered in the order they first appear.
class Welder {
 public:
  Welder(std::vector<geometry::Vector3>& vertices, std::size_t expected);
  std::uint32_t Index(const geometry::Vector3& p);

 private:
  void Grow();
  std::vector<geometry::Vector3>& vertices_;
  std::vector<std::uint32_t> slots_;  // vertex + 1; 0 empty
  std::size_t mask_ = 0;
};

// Fixed-size values in either byte order: one load or store, turned round
// when the file's order is not the machine's (binary replays do this for
// every value of every record).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline constexpr bool kBigHost = true;
#else
inline constexpr bool kBigHost = false;
#endif
inline std::uint32_t Load32(const unsigned char* p, bool big) {
  std::uint32_t u;
  std::memcpy(&u, p, 4);
  return big == kBigHost ? u : __builtin_bswap32(u);
}
inline std::uint64_t Load64(const unsigned char* p, bool big) {
  std::uint64_t u;
  std::memcpy(&u, p, 8);
  return big == kBigHost ? u : __builtin_bswap64(u);
}
inline void Store32(unsigned char* p, std::uint32_t v, bool big) {
  if (big != kBigHost) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void Store64(unsigned char* p, std::uint64_t v, bool big) {
  if (big != kBigHost) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}
inline float LoadFloat(const unsigned char* p, bool big) {
  const std::uint32_t u = Load32(p, big);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
inline void StoreFloat(unsigned char* p, float f, bool big) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  Store32(p, u, big);
}
inline double LoadDouble(const unsigned char* p, bool big) {
  const std::uint64_t u = Load64(p, big);
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}
inline void StoreDouble(unsigned char* p, double d, bool big) {
  std::uint64_t u;
  std::memcpy(&u, &d, 8);
  Store64(p, u, big);
}

// Reads exactly n bytes unless the file ends first; returns how many.
std::size_t ReadFully(platform::InputFile& in, char* data, std::size_t n);

// "<path>: <what>" as a refusal of the file's content.
[[noreturn]] void ThrowBadFile(const std::string& path, const text::Message& what);
// "<path> line <n>: <what>".
[[noreturn]] void ThrowBadLine(const std::string& path, std::uint64_t line,
                               const text::Message& what);
// Raises Error::Kind::io once a stop was requested (a pass that writes nothing
// yet would otherwise read a large file to its end first).
void CheckNotStopped(const std::string& path);
// Opens `path`, raising Error::Kind::cannot_open when it cannot be opened.
void OpenMeshFile(platform::InputFile& in, const std::string& path);

}  // namespace korvane::obj
