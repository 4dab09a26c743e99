#include "obj/obj_stream.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "obj/block_pipeline.h"
#include "obj/obj_line.h"
#include "platform/platform.h"
#include "platform/workers.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/lines.h"

namespace korvane::obj {

LineReader::LineReader(platform::InputFile& in, std::size_t block, std::size_t max_piece)
    : in_(in), buffer_(block), maxPiece_(max_piece < block ? block : max_piece) {}

LineReader::LineReader(platform::InputFile& in, std::vector<char>&& pending, std::size_t begin,
                       std::size_t end, std::size_t block, std::size_t max_piece)
    : in_(in), buffer_(std::move(pending)), maxPiece_(max_piece < block ? block : max_piece) {
  // A reader of the whole file would hold this line in a buffer of one of the
  // sizes block * 2^k, filled: be in that state, so that a long line is cut
  // into the same pieces.
  std::size_t size = block;
  while (size < end - begin) size *= 2;
  if (begin > 0) std::memmove(buffer_.data(), buffer_.data() + begin, end - begin);
  end_ = end - begin;
  buffer_.resize(size);
  if (end_ < size && !Refill()) eof_ = true;
}

void LineReader::TakeUnread(std::vector<char>& bytes, std::size_t& begin, std::size_t& end) {
  bytes.swap(buffer_);
  begin = pos_;
  end = end_;
  buffer_.clear();
  pos_ = scan_ = end_ = 0;
}

bool LineReader::Refill() {
  // Keep the unfinished line, move it to the front, and read behind it.
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    scan_ -= pos_;
    pos_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const std::size_t got = in_.Read(buffer_.data() + end_, buffer_.size() - end_);
  end_ += got;
  return got != 0;
}

void LineReader::Begin(bool continues) {
  startsLine_ = !continues_;
  if (startsLine_) ++lineNumber_;
  continues_ = continues;
}

bool LineReader::Next(std::string_view& piece) {
  for (;;) {
    const char* base = buffer_.data();
    const char* lf = nullptr;
    if (scan_ == pos_) {
      // A line seen whole in one search: its spacing comes with it.
      lf = text::FindLineEnd(base + scan_, base + end_, spacing_);
      if (lf == base + end_) lf = nullptr;
    } else if (scan_ < end_) {
      lf = static_cast<const char*>(std::memchr(base + scan_, '\n', end_ - scan_));
      spacing_ = text::Spacing::unknown;
    }
    if (lf != nullptr) {
      const std::size_t at = static_cast<std::size_t>(lf - base);
      std::size_t stop = at;
      if (stop > pos_ && base[stop - 1] == '\r') --stop;
      piece = std::string_view(base + pos_, stop - pos_);
      pos_ = scan_ = at + 1;
      Begin(false);
      if (!startsLine_) spacing_ = text::Spacing::unknown;  // the last piece, not the line
      return true;
    }
    scan_ = end_;
    if (!eof_ && end_ - pos_ >= maxPiece_) {
      // Too long to hold: hand out what we have, cut after the last space so
      // that tokens stay whole where possible. A carriage return stays behind
      // in case a line feed follows it.
      std::size_t cut = end_;
      if (base[cut - 1] == '\r') --cut;
      for (std::size_t i = cut; i > pos_; --i) {
        if (base[i - 1] == ' ') {
          cut = i;
          break;
        }
      }
      if (cut == pos_) cut = end_;
      piece = std::string_view(base + pos_, cut - pos_);
      pos_ = cut;
      spacing_ = text::Spacing::unknown;
      Begin(true);
      return true;
    }
    if (!eof_ && !Refill()) eof_ = true;
    if (eof_) {
      if (done_) return false;
      // The text after the last line feed is a line even when empty.
      done_ = true;
      piece = std::string_view(buffer_.data() + pos_, end_ - pos_);
      pos_ = scan_ = end_;
      spacing_ = text::Spacing::unknown;
      Begin(false);
      return true;
    }
  }
}

void OpenObj(platform::InputFile& in, const std::string& path, bool* utf8_mark) {
  if (!in.Open(path)) text::ThrowCannotOpen(path);
  const std::size_t mark = LeadingMarkLength(in.Peek(text::kUtf8Mark.size()), path);
  char skipped[3];
  in.Read(skipped, mark);
  if (utf8_mark != nullptr) *utf8_mark = mark != 0;
}

namespace {

// Up to `max` leading tokens of a line; returns how many there are, and where
// the text after the last one taken starts.
std::size_t LeadingTokens(std::string_view line, std::string_view* tokens, std::size_t max,
                          std::size_t& rest) {
  std::size_t n = 0;
  std::size_t i = 0;
  const std::size_t size = line.size();
  while (n < max) {
    while (i < size && line[i] == ' ') ++i;
    if (i == size) break;
    const std::size_t start = i;
    // Tokens at the start of a line are short: a plain loop beats memchr's call.
    while (i < size && line[i] != ' ') ++i;
    tokens[n++] = line.substr(start, i - start);
  }
  rest = i;
  return n;
}

// How the start of a line (or of its first piece) reads.
struct LineStart {
  std::string_view tokens[4];
  std::size_t count = 0;
  std::size_t rest = 0;      // where the text after tokens[count - 1] starts
  bool keywordOpen = false;  // the first token may go on in the next piece
  bool vertex = false;
  VertexRead read;
  bool tooLong = false;   // a vertex line whose coordinates run past the piece
  bool movedOut = false;  // a vertex the matrix carries out of range
};

// Whole vertex lines written the usual way ("v x y z ..."): the coordinates
// are converted straight from the line, without finding the tokens first.
// False when the line needs the general path (a word such as "nan", a
// conversion error, a missing coordinate), which then reports it.
bool ReadUsualVertexLine(std::string_view line, LineStart& s) {
  const std::size_t n = line.size();
  std::size_t i = 1;
  geometry::Vector3 p;
  for (int k = 0; k < 3; ++k) {
    while (i < n && line[i] == ' ') ++i;
    if (i == n) return false;
    const char c = line[i];
    // No white space to skip and no space inside a number: the conversion
    // cannot run past the token.
    if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.')) return false;
    const text::ParseResult r = text::ParseDouble(line.substr(i));
    if (r.status != text::ParseStatus::ok) return false;
    i += r.consumed;
    const std::size_t number_end = i;
    while (i < n && line[i] != ' ') ++i;  // the rest of the token is ignored
    if (i != number_end) s.read.trailingText = true;
    p[k] = r.value;
  }
  s.count = 4;
  s.rest = i;
  s.vertex = true;
  s.read.position = p;
  s.read.status = text::ParseStatus::ok;
  return true;
}

// Fills `s` afresh; its tokens past s.count are left as they were (it is
// filled in place because it is read once a line: a copy shows).
void ReadLineStart(std::string_view piece, bool last_piece, LineStart& s) {
  s.count = 0;
  s.rest = 0;
  s.keywordOpen = false;
  s.vertex = false;
  s.tooLong = false;
  s.movedOut = false;
  s.read.status = text::ParseStatus::ok;
  s.read.trailingText = false;
  if (last_piece && piece.size() > 2 && piece[0] == 'v' && piece[1] == ' ' &&
      ReadUsualVertexLine(piece, s)) {
    return;
  }
  s.count = LeadingTokens(piece, s.tokens, 4, s.rest);
  if (s.count == 0) return;
  const auto keyword_end =
      static_cast<std::size_t>(s.tokens[0].data() - piece.data()) + s.tokens[0].size();
  s.keywordOpen = !last_piece && keyword_end == piece.size();
  if (s.keywordOpen || !IsVertexKeyword(s.tokens[0])) return;
  s.vertex = true;
  // In a piece of a longer line the fourth token is whole only if a space follows it.
  if (!last_piece && (s.count < 4 || s.rest == piece.size())) {
    s.tooLong = true;
    return;
  }
  s.read = ReadVertex(s.tokens + 1, s.count - 1);
}

// Output target for text built in memory, with the writer's interface.
class StringSink {
 public:
  explicit StringSink(std::string& s) : s_(s) {}
  void Write(std::string_view bytes) { s_.append(bytes.data(), bytes.size()); }
  char* Reserve(std::size_t n) {
    used_ = s_.size();
    s_.resize(used_ + n);
    return s_.data() + used_;
  }
  void Advance(char* p) { s_.resize(static_cast<std::size_t>(p - s_.data())); }

 private:
  std::string& s_;
  std::size_t used_ = 0;
};

// Two spaces side by side in `line`, which holds no line feed.
inline bool HasPairedSpaces(std::string_view line) {
  text::Spacing spacing;
  text::FindLineEnd(line.data(), line.data() + line.size(), spacing);
  return spacing == text::Spacing::paired;
}

// A whole line that is not a vertex line and already has its tokens
// separated by single spaces, with none leading or trailing. `spacing` is
// the line's, when known.
inline bool IsPlainLine(std::string_view line, text::Spacing spacing) {
  const std::size_t n = line.size();
  if (n == 0 || line[0] == ' ' || line[n - 1] == ' ') return false;
  if (line[0] == 'v' && (n == 1 || line[1] == ' ')) return false;
  if (spacing == text::Spacing::unknown) return !HasPairedSpaces(line);
  return spacing == text::Spacing::single;
}

// Reads lines, also when they arrive in pieces, and tells `Handler` about
// them: Vertex(position) for a vertex line, then (when Handler::kTokens)
// Token(bytes) and TokenEnd() for the other tokens, and LineEnd(); a line in
// normal form goes to PlainLine(line) whole. A token is ended once it is known
// to be complete.
template <class Handler>
class LineScanner {
 public:
  LineScanner(Handler& h, std::size_t max_held) : h_(h), maxHeld_(max_held) {}
  Handler& handler() { return h_; }

  // False (nothing told) when a vertex line cannot be read; `start` says why.
  // `spacing` is the piece's, when known.
  bool Scan(std::string_view piece, bool first, bool last, LineStart& start,
            text::Spacing spacing = text::Spacing::unknown) {
    if constexpr (Handler::kStyled) {
      // The handler's own look at the line first: it may write it itself.
      if (first && h_.Line(piece, last)) {
        if (last) h_.LineEnd();
        return true;
      }
    }
    if (first && last && IsPlainLine(piece, spacing)) {
      // Most lines of a mesh (vt, vn, f, g ...) are already in normal form:
      // they go out whole, followed by the one space.
      h_.PlainLine(piece);
      return true;
    }
    if (first) {
      seenToken_ = false;
      openToken_ = false;
      held_.clear();
    }
    std::size_t from = 0;
    if (!seenToken_) {
      std::string_view text = piece;
      if (!held_.empty()) {
        held_.append(piece.data(), piece.size());
        text = held_;
      }
      ReadLineStart(text, last, start);
      // A one-letter keyword cut at the end of the piece (perhaps a "v"), or
      // a vertex line whose coordinates are still to come: keep its tokens,
      // not the spaces between them, and wait for more.
      if (!last &&
          ((start.keywordOpen && start.tokens[0].size() == 1) || (start.vertex && start.tooLong))) {
        std::string kept;
        text::ForEachToken(text, [&](std::string_view t) {
          kept.append(t.data(), t.size());
          kept += ' ';
        });
        if (text.back() != ' ') kept.pop_back();  // the last token goes on
        if (kept.size() > maxHeld_) {
          start.tooLong = true;
          return false;
        }
        held_.swap(kept);
        return true;
      }
      seenToken_ = start.count > 0;
      if (start.vertex) {
        if (start.tooLong || start.read.status != text::ParseStatus::ok) return false;
        if (!h_.Vertex(start.read)) {
          start.movedOut = true;
          return false;
        }
        from = start.rest;
      }
      if constexpr (Handler::kTokens) Tokens(text.substr(from), last);
      held_.clear();
    } else if constexpr (Handler::kTokens) {
      if (openToken_) {
        // The token cut at the end of the last piece goes on here.
        while (from < piece.size() && piece[from] != ' ') ++from;
        h_.Token(piece.substr(0, from));
        if (from < piece.size() || last) {
          h_.TokenEnd();
          openToken_ = false;
        }
      }
      Tokens(piece.substr(from), last);
    }
    if (last) h_.LineEnd();
    return true;
  }

 private:
  void Tokens(std::string_view text, bool last) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
      while (p != end && *p == ' ') ++p;
      if (p == end) break;
      const char* start = p;
      const void* sp = std::memchr(p, ' ', static_cast<std::size_t>(end - p));
      p = sp != nullptr ? static_cast<const char*>(sp) : end;
      h_.Token(std::string_view(start, static_cast<std::size_t>(p - start)));
      if (p != end || last) {
        h_.TokenEnd();
      } else {
        openToken_ = true;
      }
    }
  }

  Handler& h_;
  std::size_t maxHeld_;
  std::string held_;
  bool openToken_ = false;
  bool seenToken_ = false;
};

// What a styled replay found so far: the warnings, with their first lines
// counted in the writer's own frame (see LineWriter::AtLine), and how far the
// written digits moved the vertices.
struct ReplayFindings {
  std::array<ReplayWarning, kReplayWarningKinds> warnings{};
  double largestRounding = 0.0;
  std::uint64_t roundingLine = 0;
  geometry::Vector3 lo = geometry::Vector3::Constant(std::numeric_limits<double>::infinity());
  geometry::Vector3 hi = -lo;

  // Adds what a later stretch of the same file found, its lines `offset` on.
  void Add(const ReplayFindings& later, std::uint64_t offset) {
    for (std::size_t k = 0; k < kReplayWarningKinds; ++k) {
      const ReplayWarning& w = later.warnings[k];
      if (w.count == 0) continue;
      if (warnings[k].count == 0) warnings[k].line = w.line + offset;
      warnings[k].count += w.count;
    }
    if (later.largestRounding > largestRounding) {
      largestRounding = later.largestRounding;
      roundingLine = later.roundingLine + offset;
    }
    lo = lo.cwiseMin(later.lo);
    hi = hi.cwiseMax(later.hi);
  }
};

// Whether `m` changes directions: anything but a positive uniform scale (and a shift).
bool Turns(const geometry::Matrix4& m) {
  const Eigen::Matrix3d l = m.linear();
  const double s = l(0, 0);
  return !(s > 0.0 && l == s * Eigen::Matrix3d::Identity());
}

// Writes lines as the document writes them; with a ReplayStyle, also in other
// digits, with turned normals, and counting what may be wrong.
template <class Sink>
class LineWriter {
 public:
  static constexpr bool kTokens = true;
  static constexpr bool kStyled = true;
  LineWriter(const geometry::Matrix4& m, std::string_view newline, Sink& out,
             const ReplayStyle* style = nullptr)
      : m_(m), newline_(newline), out_(out), style_(style) {
    if (style_ != nullptr) {
      turns_ = Turns(m);
      const Eigen::Matrix3d l = m.linear();
      normalMatrix_ = l.inverse().transpose();
      mirrors_ = l.determinant() < 0.0;
      if (style_->digits >= 0) unit_ = std::pow(10.0, style_->digits);
    }
  }

  // False, with nothing written, for a vertex the matrix carries out of range.
  bool Vertex(const VertexRead& read) {
    const geometry::Vector3& position = read.position;
    const geometry::Vector3 p = geometry::TransformPoint(m_, position);
    if (MovedOutOfRange(position, p)) return false;
    ++vertices;
    if (style_ != nullptr) {
      StyledVertex(read, p);
      return true;
    }
    char* w = out_.Reserve(2 + 3 * (text::kMaxFixedChars + 1));
    *w++ = 'v';
    *w++ = ' ';
    for (int k = 0; k < 3; ++k) {
      w = text::FormatFixed6(w, p[k]);
      *w++ = ' ';
    }
    out_.Advance(w);
    return true;
  }
  // True when the writer wrote the whole line itself (a turned normal, a
  // reversed face); counts what the line may get wrong.
  bool Line(std::string_view piece, bool whole) {
    return style_ != nullptr && StyledLine(piece, whole);
  }
  void Token(std::string_view bytes) { out_.Write(bytes); }
  void TokenEnd() { out_.Write(" "); }
  void LineEnd() {
    out_.Write(newline_);
    ++line_;
  }
  // A line in normal form: the line, one space, the line end.
  void PlainLine(std::string_view line) {
    ++line_;
    const std::size_t n = line.size() + 1 + newline_.size();
    if (n > kSmall) {
      out_.Write(line);
      TokenEnd();
      out_.Write(newline_);
      return;
    }
    char* w = out_.Reserve(n);
    std::memcpy(w, line.data(), line.size());
    w += line.size();
    *w++ = ' ';
    std::memcpy(w, newline_.data(), newline_.size());
    out_.Advance(w + newline_.size());
  }

  // The lines before the next one: the frame its findings' line numbers are in.
  void AtLine(std::uint64_t lines_before) { line_ = lines_before; }

  std::uint64_t vertices = 0;  // vertex lines written
  ReplayFindings findings;

 private:
  static constexpr std::size_t kSmall = 4096;

  void Warn(ReplayWarningKind kind) {
    ReplayWarning& w = findings.warnings[static_cast<std::size_t>(kind)];
    if (w.count++ == 0) w.line = line_ + 1;
  }

  // One coordinate in the style's digits.
  char* Coordinate(char* w, double x) {
    if (style_->digits == 6) return text::FormatFixed6(w, x);
    char* const end = w + text::kMaxFixedChars + 24;
    const std::to_chars_result r =
        style_->digits == ReplayStyle::kShortest
            ? std::to_chars(w, end, x)
            : std::to_chars(w, end, x, std::chars_format::fixed, style_->digits);
    return r.ptr;
  }

  void StyledVertex(const VertexRead& read, const geometry::Vector3& p) {
    if (style_->check) {
      if (read.trailingText) Warn(ReplayWarningKind::trailing_text);
      if (!read.position.allFinite()) Warn(ReplayWarningKind::non_finite);
    }
    char* w = out_.Reserve(2 + 3 * (text::kMaxFixedChars + 25));
    *w++ = 'v';
    *w++ = ' ';
    for (int k = 0; k < 3; ++k) {
      w = Coordinate(w, p[k]);
      *w++ = ' ';
    }
    out_.Advance(w);
    if (!p.allFinite()) return;
    findings.lo = findings.lo.cwiseMin(p);
    findings.hi = findings.hi.cwiseMax(p);
    if (style_->digits == ReplayStyle::kShortest) return;
    // How far the written digits put the vertex from where the motion did.
    double moved = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double rounded = std::nearbyint(p[k] * unit_) / unit_;
      if (std::isfinite(rounded)) moved = std::max(moved, std::fabs(rounded - p[k]));
    }
    if (moved > findings.largestRounding) {
      findings.largestRounding = moved;
      findings.roundingLine = line_ + 1;
    }
  }

  bool StyledLine(std::string_view piece, bool whole) {
    const std::size_t n = piece.size();
    if (style_->check) {
      // Split at spaces only, "v<TAB>1<TAB>2<TAB>3" is one token, not a vertex.
      if (n > 1 && piece[0] == 'v' && (piece[1] == '\t' || piece[1] == '\v' || piece[1] == '\f'))
        Warn(ReplayWarningKind::not_a_vertex_line);
      if (std::memchr(piece.data(), '\r', n) != nullptr) Warn(ReplayWarningKind::carriage_return);
    }
    const bool normal = n >= 2 && piece[0] == 'v' && piece[1] == 'n' && (n == 2 || piece[2] == ' ');
    if (normal && turns_) {
      if (!style_->normals) {
        if (style_->check) Warn(ReplayWarningKind::normals_not_turned);
        return false;
      }
      return whole && TurnNormal(piece);
    }
    const bool face = n >= 1 && piece[0] == 'f' && (n == 1 || piece[1] == ' ');
    if (face && mirrors_ && style_->normals && whole) {
      ReverseFace(piece);
      return true;
    }
    return false;
  }

  // "vn x y z" turned and made unit length; a line it cannot read stays as it is.
  bool TurnNormal(std::string_view line) {
    std::string_view tokens[4];
    std::size_t rest = 0;
    if (LeadingTokens(line, tokens, 4, rest) != 4) return false;
    geometry::Vector3 n;
    for (int k = 0; k < 3; ++k) {
      const text::ParseResult r = text::ParseDouble(tokens[k + 1]);
      if (r.status != text::ParseStatus::ok || r.consumed != tokens[k + 1].size()) return false;
      n[k] = r.value;
    }
    geometry::Vector3 t = normalMatrix_ * n;
    const double length = t.norm();
    if (!(length > 0.0) || !std::isfinite(length)) return false;
    t /= length;
    char* w = out_.Reserve(3 + 3 * (text::kMaxFixedChars + 25));
    *w++ = 'v';
    *w++ = 'n';
    *w++ = ' ';
    for (int k = 0; k < 3; ++k) {
      w = Coordinate(w, t[k]);
      *w++ = ' ';
    }
    out_.Advance(w);
    text::ForEachToken(line.substr(rest), [&](std::string_view token) {
      Token(token);
      TokenEnd();
    });
    return true;
  }

  // "f a b c ..." as "f ... c b a": the same face, facing the other way.
  void ReverseFace(std::string_view line) {
    std::vector<std::string_view>& corners = corners_;
    corners.clear();
    text::ForEachToken(line.substr(1), [&](std::string_view t) { corners.push_back(t); });
    out_.Write("f ");
    for (auto it = corners.rbegin(); it != corners.rend(); ++it) {
      Token(*it);
      TokenEnd();
    }
  }

  const geometry::Matrix4& m_;
  std::string_view newline_;
  Sink& out_;
  const ReplayStyle* style_;
  std::uint64_t line_ = 0;  // lines before the one being written, in this writer's frame
  bool turns_ = false;
  bool mirrors_ = false;
  Eigen::Matrix3d normalMatrix_ = Eigen::Matrix3d::Identity();
  double unit_ = 1e6;  // 10^digits
  std::vector<std::string_view> corners_;
};

// Collects vertex positions and ignores everything else.
struct VertexCollector {
  static constexpr bool kTokens = false;
  static constexpr bool kStyled = false;
  std::vector<geometry::Vector3>& out;
  bool Vertex(const VertexRead& read) {
    out.push_back(read.position);
    return true;
  }
  bool Line(std::string_view, bool) { return false; }
  void AtLine(std::uint64_t) {}
  void PlainLine(std::string_view) {}
  void Token(std::string_view) {}
  void TokenEnd() {}
  void LineEnd() {}
};

[[noreturn]] void ThrowUnreadable(const LineStart& start, const std::string& path,
                                  std::uint64_t line_number) {
  if (start.movedOut) ThrowMovedOutOfRange(path, line_number);
  if (!start.tooLong) {
    text::ThrowVertexConversionError(start.read.status, path, line_number, start.tokens + 1,
                                     start.count == 0 ? 0 : start.count - 1);
  }
  throw Error(Error::Kind::invalid_number,
              text::AtLine(path, line_number).Say(text::kVertexLineTooLong), path, line_number);
}

// Lines and pieces from `reader` for `scanner`: all of them, or only the rest
// of the current line when `one_line`. Line numbers count on from `lines_before`.
template <class Handler>
void ScanPieces(LineReader& reader, LineScanner<Handler>& scanner, const std::string& path,
                std::uint64_t lines_before, bool one_line) {
  std::string_view piece;
  LineStart start;
  scanner.handler().AtLine(lines_before);
  while (reader.Next(piece)) {
    if (!scanner.Scan(piece, reader.startsLine(), !reader.continues(), start, reader.spacing())) {
      ThrowUnreadable(start, path, lines_before + reader.lineNumber());
    }
    if (one_line && !reader.continues()) return;
  }
}

// How far a block's lines were handled.
struct BlockProgress {
  std::uint64_t lines = 0;  // lines done, each ended by a line feed
  std::size_t next = 0;     // where the first line not done starts
  bool stopped = false;     // `f` refused the line at `next`
};

// Calls f(line, spacing) for the lines of `text` from offset `from`: the
// lines ended by a line feed, then, when `final`, the rest as the last line.
// Stops at the first line f returns false for.
template <class F>
BlockProgress ForBlockLines(std::string_view text, bool final, std::size_t from, F&& f) {
  BlockProgress p;
  const char* data = text.data();
  const std::size_t n = text.size();
  std::size_t pos = from;
  for (;;) {
    text::Spacing spacing = text::Spacing::unknown;
    const char* hit = text::FindLineEnd(data + pos, data + n, spacing);
    if (hit == data + n) {
      if (final && !f(text.substr(pos), spacing)) p.stopped = true;
      p.next = pos;
      return p;
    }
    const auto lf = static_cast<std::size_t>(hit - data);
    std::size_t stop = lf;
    if (stop > pos && data[stop - 1] == '\r') --stop;
    if (!f(std::string_view(data + pos, stop - pos), spacing)) {
      p.stopped = true;
      p.next = pos;
      return p;
    }
    ++p.lines;
    pos = lf + 1;
  }
}

// The rest of a block from `from`, in turn, straight to the final handler:
// the first line that cannot be read is reported here, with its number, as
// the sequential path reports it.
template <class Handler>
std::uint64_t FinishBlock(LineScanner<Handler>& scanner, std::string_view text, bool final,
                          std::size_t from, const std::string& path, std::uint64_t lines_before) {
  std::uint64_t number = lines_before;
  LineStart start;
  scanner.handler().AtLine(lines_before);
  return ForBlockLines(text, final, from,
                       [&](std::string_view line, text::Spacing spacing) {
                         ++number;
                         if (!scanner.Scan(line, true, true, start, spacing)) {
                           ThrowUnreadable(start, path, number);
                         }
                         return true;
                       })
      .lines;
}

// Output of one block, grown as needed without clearing the new room.
class BlockOutput {
 public:
  void Write(std::string_view bytes) {
    std::memcpy(Reserve(bytes.size()), bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  char* Reserve(std::size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  void Advance(char* p) { size_ = static_cast<std::size_t>(p - data_.get()); }
  std::string_view view() const { return std::string_view(data_.get(), size_); }
  std::size_t size() const { return size_; }
  // Empties it, with room for `expected` bytes: growing a block's buffer
  // step by step would touch several times the memory it ends up using.
  void Clear(std::size_t expected) {
    size_ = 0;
    if (capacity_ < expected) {
      data_.reset(new char[expected]);
      capacity_ = expected;
    }
  }

 private:
  void Grow(std::size_t n) {
    const std::size_t capacity = std::max({capacity_ * 2, size_ + n, std::size_t{1} << 16});
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Replay: each thread writes its block into memory, then copies it to the
// file in its turn. It stops converting at a line it cannot read, or once its
// output has grown past `cap` (lines that grow a lot, such as short vertex
// lines under a huge scale, must not hold unbounded memory), and goes on
// from there in its turn, straight to the file.
class ReplayWork final : public BlockWork {
 public:
  using Writer = LineWriter<platform::AtomicOutput>;
  using Direct = LineScanner<Writer>;
  ReplayWork(const geometry::Matrix4& m, const ReplayStyle* style, platform::AtomicOutput& out,
             Writer& writer, Direct& direct, const std::string& path, std::size_t slots,
             std::size_t max_piece, std::size_t cap)
      : m_(m),
        style_(style),
        path_(path),
        maxPiece_(max_piece),
        cap_(cap),
        out_(out),
        writer_(writer),
        scanner_(direct),
        slots_(slots) {}

  void Process(std::size_t slot, std::string_view text, bool final) override {
    Slot& s = slots_[slot];
    // Rewritten lines are a little longer than the usual input's.
    s.out.Clear(text.size() + text.size() / 4 + 4096);
    LineWriter<BlockOutput> writer(m_, platform::kNewline, s.out, style_);
    LineScanner<LineWriter<BlockOutput>> scanner(writer, maxPiece_);
    LineStart start;
    // A line that cannot be done here is done again in turn, where its
    // number is known for the message.
    s.progress = ForBlockLines(text, final, 0, [&](std::string_view line, text::Spacing spacing) {
      return s.out.size() < cap_ && scanner.Scan(line, true, true, start, spacing);
    });
    s.vertices = writer.vertices;
    s.findings = writer.findings;  // line numbers counted from the block's start
  }

  std::uint64_t Deliver(std::size_t slot, std::string_view text, bool final,
                        std::uint64_t lines_before) override {
    Slot& s = slots_[slot];
    out_.Write(s.out.view());
    writer_.vertices += s.vertices;
    writer_.findings.Add(s.findings, lines_before);
    if (!s.progress.stopped) return s.progress.lines;
    return s.progress.lines + FinishBlock(scanner_, text, final, s.progress.next, path_,
                                          lines_before + s.progress.lines);
  }

  void LongLine(LineReader& reader, std::uint64_t lines_before) override {
    ScanPieces(reader, scanner_, path_, lines_before, true);
  }

 private:
  struct Slot {
    BlockOutput out;
    BlockProgress progress;
    std::uint64_t vertices = 0;  // vertex lines of the lines done
    ReplayFindings findings;     // of the lines done
  };

  const geometry::Matrix4& m_;
  const ReplayStyle* style_;
  const std::string& path_;
  std::size_t maxPiece_;
  std::size_t cap_;
  platform::AtomicOutput& out_;
  Writer& writer_;
  Direct& scanner_;
  std::vector<Slot> slots_;
};

// Vertex positions: each block's collected apart, appended in turn.
class VertexWork final : public BlockWork {
 public:
  VertexWork(std::vector<geometry::Vector3>& out, LineScanner<VertexCollector>& direct,
             const std::string& path, std::size_t slots, std::size_t max_piece)
      : path_(path), maxPiece_(max_piece), out_(out), scanner_(direct), slots_(slots) {}

  void Process(std::size_t slot, std::string_view text, bool final) override {
    Slot& s = slots_[slot];
    s.vertices.clear();
    VertexCollector collector{s.vertices};
    LineScanner<VertexCollector> scanner(collector, maxPiece_);
    LineStart start;
    s.progress = ForBlockLines(text, final, 0, [&](std::string_view line, text::Spacing spacing) {
      return scanner.Scan(line, true, true, start, spacing);
    });
  }

  std::uint64_t Deliver(std::size_t slot, std::string_view text, bool final,
                        std::uint64_t lines_before) override {
    Slot& s = slots_[slot];
    out_.insert(out_.end(), s.vertices.begin(), s.vertices.end());
    if (!s.progress.stopped) return s.progress.lines;
    return s.progress.lines + FinishBlock(scanner_, text, final, s.progress.next, path_,
                                          lines_before + s.progress.lines);
  }

  void LongLine(LineReader& reader, std::uint64_t lines_before) override {
    ScanPieces(reader, scanner_, path_, lines_before, true);
  }

 private:
  struct Slot {
    std::vector<geometry::Vector3> vertices;
    BlockProgress progress;
  };

  const std::string& path_;
  std::size_t maxPiece_;
  std::vector<geometry::Vector3>& out_;
  LineScanner<VertexCollector>& scanner_;
  std::vector<Slot> slots_;
};

// The size LineReader starts with when reading a file piece by piece.
std::size_t PieceBlock(std::size_t max_piece) { return std::min(std::size_t{1} << 18, max_piece); }

// Streams `in` through `scanner` on the calling thread; once options.parallelFrom
// bytes are done and the file goes on, the rest goes through `work` (made by
// make_work) on several threads. Both give the same results and errors.
template <class Handler, class MakeWork>
void StreamFile(platform::InputFile& in, const std::string& path, LineScanner<Handler>& scanner,
                const StreamOptions& options, MakeWork&& make_work) {
  const std::size_t max_piece = options.maxPiece;
  bool may_thread = options.threads != 1;  // cores are counted only for a long file
  LineReader reader(in, PieceBlock(max_piece), max_piece);
  std::uint64_t done = 0;   // bytes of the lines done, line ends left out
  std::uint64_t lines = 0;  // lines done
  std::string_view piece;
  LineStart start;
  for (;;) {
    if (may_thread && done >= options.parallelFrom && !reader.eof()) {
      // At a line start, with more to read: the rest on several threads.
      const std::size_t workers = StreamThreads(options.threads);
      may_thread = false;
      if (workers <= 1) continue;
      std::vector<char> rest;
      std::size_t begin = 0;
      std::size_t end = 0;
      reader.TakeUnread(rest, begin, end);
      PipelineShape shape;
      shape.workers = workers;
      // Blocks no longer than a piece: a line whole in a block is whole for
      // the single-thread reader too.
      shape.block = std::max<std::size_t>(
          1, std::min(options.block != 0 ? options.block : DefaultBlock(workers), max_piece));
      shape.pieceBlock = PieceBlock(max_piece);
      shape.maxPiece = max_piece;
      const auto work = make_work(shape);
      if (RunBlockPipeline(in, rest, begin, end, lines, *work, shape)) return;
      // No thread to be had: on here, from the bytes read so far.
      LineReader rest_reader(in, std::move(rest), begin, end, PieceBlock(max_piece), max_piece);
      ScanPieces(rest_reader, scanner, path, lines, false);
      return;
    }
    // One line, in one piece or several.
    for (;;) {
      if (!reader.Next(piece)) return;
      if (!scanner.Scan(piece, reader.startsLine(), !reader.continues(), start, reader.spacing())) {
        ThrowUnreadable(start, path, reader.lineNumber());
      }
      done += piece.size();
      if (!reader.continues()) break;
    }
    if (reader.finished()) return;
    ++lines;
  }
}

}  // namespace

std::size_t StreamThreads(unsigned asked) { return asked != 0 ? asked : platform::Cores(); }

std::size_t DefaultBlock(std::size_t workers) {
  // Natively, blocks of 256 KiB to 1 MiB were equally fast; under Wine,
  // where every hand-over between threads is a call to its server, 1 MiB
  // was faster than 512 KiB (bench/README.md). With very many threads they
  // get smaller so that about kStreamMemory of input is in flight (one
  // block per thread).
  const std::size_t per_block = kStreamMemory / std::max<std::size_t>(workers, 1);
  return std::clamp(per_block, std::size_t{1} << 18, std::size_t{1} << 20);
}

void LoadObjVertices(const std::string& path, std::vector<geometry::Vector3>& out,
                     const StreamOptions& options) {
  out.clear();
  platform::InputFile in;
  OpenObj(in, path);
  VertexCollector collector{out};
  LineScanner<VertexCollector> scanner(collector, options.maxPiece);
  StreamFile(in, path, scanner, options, [&](const PipelineShape& shape) {
    return std::make_unique<VertexWork>(out, scanner, path, shape.workers, shape.maxPiece);
  });
  // Threads' blocks and the list's outgrown copies were freed into heaps
  // that keep them (one per thread): as much again as the list, unless given
  // back.
  if (options.returnFreeMemory) platform::ReturnFreeMemory();
}

const char* ReplayWarningName(ReplayWarningKind kind) {
  switch (kind) {
    case ReplayWarningKind::not_a_vertex_line:
      return "not_a_vertex_line";
    case ReplayWarningKind::trailing_text:
      return "trailing_text";
    case ReplayWarningKind::non_finite:
      return "non_finite";
    case ReplayWarningKind::carriage_return:
      return "carriage_return";
    case ReplayWarningKind::normals_not_turned:
      return "normals_not_turned";
    case ReplayWarningKind::precision:
      return "precision";
  }
  return "unknown";
}

namespace {

// What a styled writer found, added to `counts`; `offset` lines on.
template <class Writer>
void Report(const Writer& writer, const ReplayStyle& style, std::uint64_t offset,
            ReplayCounts& counts) {
  counts.vertices += writer.vertices;
  if (!style.check) return;
  ReplayFindings all;
  all.warnings = counts.warnings;
  all.Add(writer.findings, offset);
  counts.warnings = all.warnings;
  const ReplayFindings& f = writer.findings;
  if (f.hi.x() >= f.lo.x()) counts.size = std::max(counts.size, (f.hi - f.lo).norm());
  if (f.largestRounding > counts.largestRounding) {
    counts.largestRounding = f.largestRounding;
    // Digits that move a vertex by more than a millionth of the mesh's size are worth a word.
    ReplayWarning& w = counts.warnings[static_cast<std::size_t>(ReplayWarningKind::precision)];
    if (f.largestRounding > 1e-6 * counts.size) w = {counts.vertices, f.roundingLine + offset};
  }
}

// The style a writer gets: none for the plain replay, so that it stays the exported one.
const ReplayStyle* StyleOrNone(const ReplayStyle& style) {
  const ReplayStyle plain;
  const bool styled = style.check || style.normals || style.digits != plain.digits;
  return styled ? &style : nullptr;
}

}  // namespace

void TransformObjFile(const std::string& input, const std::string& output,
                      const geometry::Matrix4& m, const StreamOptions& options,
                      ReplayCounts* counts, const ReplayStyle& style,
                      const std::function<void(const ReplayCounts&)>& vet) {
  platform::InputFile in;
  bool mark = false;
  OpenObj(in, input, &mark);
  platform::AtomicOutput out(output);
  if (mark) out.Write(text::kUtf8Mark);
  const ReplayStyle* styled = StyleOrNone(style);
  LineWriter<platform::AtomicOutput> writer(m, platform::kNewline, out, styled);
  LineScanner<LineWriter<platform::AtomicOutput>> scanner(writer, options.maxPiece);
  StreamFile(in, input, scanner, options, [&](const PipelineShape& shape) {
    return std::make_unique<ReplayWork>(m, styled, out, writer, scanner, input, shape.workers,
                                        shape.maxPiece, 2 * shape.block);
  });
  ReplayCounts found;
  Report(writer, style, 0, found);
  if (vet) vet(found);
  out.Commit();
  if (counts != nullptr) *counts = found;
}

std::string TransformObjText(std::string_view text, const geometry::Matrix4& m,
                             std::string_view newline, const std::string& source_name,
                             std::uint64_t first_line, ReplayCounts* counts,
                             const ReplayStyle& style) {
  // Only the start of a file can carry a byte-order mark.
  const std::size_t mark = first_line == 1 ? LeadingMarkLength(text, source_name) : 0;
  std::string result(text.substr(0, mark));
  text.remove_prefix(mark);
  StringSink sink(result);
  LineWriter<StringSink> writer(m, newline, sink, StyleOrNone(style));
  LineScanner<LineWriter<StringSink>> scanner(writer, LineReader::kUnlimited);
  // The text is one final block: its lines in turn, the rest as the last one.
  FinishBlock(scanner, text, true, 0, source_name, first_line - 1);
  if (counts != nullptr) Report(writer, style, 0, *counts);
  return result;
}

}  // namespace korvane::obj
