// Streaming OBJ processing for the commands: files of any size are read in
// large blocks and handled line by line, without holding their text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/geometry.h"
#include "platform/file_io.h"
#include "text/numbers.h"

namespace korvane::obj {

// Lines of a file as a text-mode reader sees them: split at each line feed, a
// carriage return right before a line feed dropped, and the text after the
// last line feed (possibly empty) as the final line.
//
// A line longer than `max_piece` bytes is handed out in pieces (cut after the
// last space where there is one), so memory stays bounded whatever the input;
// continues() tells whether more pieces of the same line follow.
class LineReader {
 public:
  static constexpr std::size_t kUnlimited = ~std::size_t{0};

  explicit LineReader(io::InputFile& in, std::size_t block = std::size_t{1} << 20,
                      std::size_t max_piece = kUnlimited);
  // The next line or piece, valid until the following call; false at the end.
  bool Next(std::string_view& piece);
  // The piece returned last is the start of its line.
  bool starts_line() const { return starts_line_; }
  // More pieces of the same line follow the one returned last.
  bool continues() const { return continues_; }
  // 1-based number of the line the last piece belongs to.
  std::uint64_t line_number() const { return line_number_; }

 private:
  bool Refill();
  void Begin(bool continues);

  io::InputFile& in_;
  std::vector<char> buffer_;
  std::size_t max_piece_;
  std::size_t pos_ = 0;   // start of unread text
  std::size_t end_ = 0;   // end of valid text
  std::size_t scan_ = 0;  // text before this holds no line feed
  bool eof_ = false;
  bool done_ = false;
  bool starts_line_ = true;
  bool continues_ = false;
  std::uint64_t line_number_ = 0;
};

// The same line rules for text already in memory: f(line, line_number).
template <class F>
void ForEachTextLine(std::string_view text, F&& f) {
  std::uint64_t number = 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line, ++number);
    if (lf == std::string_view::npos) return;
    pos = lf + 1;
  }
}

// Opens an OBJ file for reading. When it cannot be opened, shows the box with
// the path as its text and "ファイルオープン失敗" as its caption and returns false.
bool OpenObj(io::InputFile& in, const std::string& path);

// Raises the conversion error of a vertex line, naming the file and line.
[[noreturn]] void ThrowConversionError(text::ParseStatus status, const std::string& path,
                                       std::uint64_t line_number);

// Lines longer than this are streamed in pieces rather than held whole.
inline constexpr std::size_t kMaxLinePiece = std::size_t{64} << 20;

// Vertex positions of every "v" line, in file order. False (after the open
// failure box) when the file cannot be opened; `out` is then left empty.
bool LoadObjVertices(const std::string& path, std::vector<Vector3>& out,
                     std::size_t max_piece = kMaxLinePiece);

// Streams `input` to `output` as the document text: every line normalised,
// every vertex line moved by `m`, each line followed by the platform's line
// end; a vertex line whose coordinates do not fit in one piece is refused.
// Returns false (after the open failure box) when `input` cannot be
// opened, with nothing written. The output replaces `output` only when
// complete; any error leaves it as it was.
bool TransformObjFile(const std::string& input, const std::string& output, const Matrix4& m,
                      std::size_t max_piece = kMaxLinePiece);

// The same transformation on text in memory; `newline` ends every line.
std::string TransformObjText(std::string_view text, const Matrix4& m, std::string_view newline,
                             const std::string& source_name);

}  // namespace korvane::obj
