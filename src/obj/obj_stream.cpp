#include "obj/obj_stream.h"

#include <cstring>

#include "obj/obj_line.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "text/messages.h"

namespace korvane::obj {

LineReader::LineReader(io::InputFile& in, std::size_t block) : in_(in), buffer_(block) {}

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

bool LineReader::Next(std::string_view& line) {
  for (;;) {
    const char* base = buffer_.data();
    const void* lf = scan_ < end_ ? std::memchr(base + scan_, '\n', end_ - scan_) : nullptr;
    if (lf != nullptr) {
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
      std::size_t stop = at;
      if (stop > pos_ && base[stop - 1] == '\r') --stop;
      line = std::string_view(base + pos_, stop - pos_);
      pos_ = scan_ = at + 1;
      ++line_number_;
      return true;
    }
    scan_ = end_;
    if (!eof_ && !Refill()) eof_ = true;
    if (eof_) {
      if (done_) return false;
      // The text after the last line feed is a line even when empty.
      done_ = true;
      line = std::string_view(buffer_.data() + pos_, end_ - pos_);
      pos_ = scan_ = end_;
      ++line_number_;
      return true;
    }
  }
}

bool OpenObj(io::InputFile& in, const std::string& path) {
  if (in.Open(path)) return true;
  platform::Current().ShowMessage(platform::Message().Own(texts::kFileOpenFailed),
                                  platform::Message().Host(path));
  return false;
}

void ThrowConversionError(text::ParseStatus status, const std::string& path,
                          std::uint64_t line_number) {
  const bool range = status == text::ParseStatus::out_of_range;
  platform::Message m;
  m.Host(path).Own(" line ").Own(std::to_string(line_number)).Own(": ");
  m.Own(range ? texts::kStodOutOfRange : texts::kInvalidStod);
  throw Error(range ? Error::Kind::number_out_of_range : Error::Kind::invalid_number, std::move(m));
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
    // memchr finds the end of long tokens faster than a byte loop.
    const void* sp = std::memchr(line.data() + i, ' ', size - i);
    i = sp != nullptr ? static_cast<std::size_t>(static_cast<const char*>(sp) - line.data()) : size;
    tokens[n++] = line.substr(start, i - start);
  }
  rest = i;
  return n;
}

bool StartsVertexLine(std::string_view* tokens, std::size_t n) {
  return n > 0 && IsVertexKeyword(tokens[0]);
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

// Writes one line as the document writes it. Returns the conversion status of
// a vertex line (ok for every other line).
template <class Sink>
text::ParseStatus WriteLine(std::string_view line, const Matrix4& m, std::string_view newline,
                            Sink& out) {
  std::string_view tokens[4];
  std::size_t rest = 0;
  const std::size_t n = LeadingTokens(line, tokens, 4, rest);
  std::size_t first_copied = 0;
  if (StartsVertexLine(tokens, n)) {
    const VertexRead v = ReadVertex(tokens + 1, n - 1);
    if (v.status != text::ParseStatus::ok) return v.status;
    const Vector3 p = TransformPoint(m, v.position);
    char* w = out.Reserve(2 + 3 * (text::kMaxFixedChars + 1));
    *w++ = 'v';
    *w++ = ' ';
    for (int k = 0; k < 3; ++k) {
      w = text::FormatFixed6(w, p[k]);
      *w++ = ' ';
    }
    out.Advance(w);
    first_copied = 4;
  }
  for (std::size_t k = first_copied; k < n; ++k) {
    out.Write(tokens[k]);
    out.Write(" ");
  }
  // Tokens beyond the first four are copied as they come.
  ForEachToken(line.substr(rest), [&](std::string_view t) {
    out.Write(t);
    out.Write(" ");
  });
  out.Write(newline);
  return text::ParseStatus::ok;
}

}  // namespace

bool LoadObjVertices(const std::string& path, std::vector<Vector3>& out) {
  out.clear();
  io::InputFile in;
  if (!OpenObj(in, path)) return false;
  LineReader reader(in);
  std::string_view line;
  std::string_view tokens[4];
  while (reader.Next(line)) {
    std::size_t rest = 0;
    const std::size_t n = LeadingTokens(line, tokens, 4, rest);
    if (!StartsVertexLine(tokens, n)) continue;
    const VertexRead v = ReadVertex(tokens + 1, n - 1);
    if (v.status != text::ParseStatus::ok) ThrowConversionError(v.status, path, reader.line_number());
    out.push_back(v.position);
  }
  return true;
}

bool TransformObjFile(const std::string& input, const std::string& output, const Matrix4& m) {
  io::InputFile in;
  if (!OpenObj(in, input)) return false;
  io::AtomicOutput out(output);
  LineReader reader(in);
  std::string_view line;
  while (reader.Next(line)) {
    const text::ParseStatus s = WriteLine(line, m, platform::kNewline, out);
    if (s != text::ParseStatus::ok) ThrowConversionError(s, input, reader.line_number());
  }
  out.Commit();
  return true;
}

std::string TransformObjText(std::string_view text, const Matrix4& m, std::string_view newline,
                             const std::string& source_name) {
  std::string result;
  StringSink sink(result);
  ForEachTextLine(text, [&](std::string_view line, std::uint64_t number) {
    const text::ParseStatus s = WriteLine(line, m, newline, sink);
    if (s != text::ParseStatus::ok) ThrowConversionError(s, source_name, number);
  });
  return result;
}

}  // namespace korvane::obj
