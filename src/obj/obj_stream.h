// Streaming OBJ processing for the commands: files of any size are read in
// large blocks and handled line by line, without holding their text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/geometry.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/lines.h"
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

  explicit LineReader(platform::InputFile& in, std::size_t block = std::size_t{1} << 20,
                      std::size_t max_piece = kUnlimited);
  // Goes on with a file whose next bytes, `pending` [begin, end), were already
  // read from `in` and start a line. The lines and pieces are those a reader
  // of the whole file would give from there.
  LineReader(platform::InputFile& in, std::vector<char>&& pending, std::size_t begin,
             std::size_t end, std::size_t block, std::size_t max_piece);
  // The next line or piece, valid until the following call; false at the end.
  bool Next(std::string_view& piece);
  // The piece returned last is the start of its line.
  bool startsLine() const { return startsLine_; }
  // More pieces of the same line follow the one returned last.
  bool continues() const { return continues_; }
  // Whether the line returned last holds two spaces side by side: unknown
  // when it came in pieces or was not read in one search.
  text::Spacing spacing() const { return spacing_; }
  // 1-based number of the line the last piece belongs to.
  std::uint64_t lineNumber() const { return lineNumber_; }
  // The end of the file was seen (nothing more to read from `in`).
  bool eof() const { return eof_; }
  // The last line of the file was returned whole: Next() has nothing more.
  bool finished() const { return done_; }
  // Hands over the bytes read but not returned yet, as [begin, end) of `bytes`.
  void TakeUnread(std::vector<char>& bytes, std::size_t& begin, std::size_t& end);

 private:
  bool Refill();
  void Begin(bool continues);

  platform::InputFile& in_;
  std::vector<char> buffer_;
  std::size_t maxPiece_;
  std::size_t pos_ = 0;   // start of unread text
  std::size_t end_ = 0;   // end of valid text
  std::size_t scan_ = 0;  // text before this holds no line feed
  bool eof_ = false;
  bool done_ = false;
  bool startsLine_ = true;
  bool continues_ = false;
  text::Spacing spacing_ = text::Spacing::unknown;
  std::uint64_t lineNumber_ = 0;
};

// Opens an OBJ file for reading; raises Error::Kind::cannot_open when it
// cannot be opened. A UTF-8 byte-order mark is read past (`utf8_mark` tells
// whether there was one); UTF-16 text is refused.
void OpenObj(platform::InputFile& in, const std::string& path, bool* utf8_mark = nullptr);

// Lines longer than this are streamed in pieces rather than held whole.
inline constexpr std::size_t kMaxLinePiece = std::size_t{64} << 20;

// At most about this much input is in flight when several threads stream a
// file (blocks shrink when there are very many threads).
inline constexpr std::size_t kStreamMemory = std::size_t{16} << 20;

struct StreamOptions {
  // Threads, the calling one included: 0 one per core, 1 the calling thread
  // alone (the single-thread path).
  unsigned threads = 0;
  // Bytes streamed on the calling thread before the others join in: the
  // commands pass the threshold measured for them (api/streaming.h).
  std::size_t parallelFrom = 0;
  // Bytes read at a time when several threads work; 0 chooses by the number
  // of threads (DefaultBlock).
  std::size_t block = 0;
  // Lines longer than this are streamed in pieces (OBJ) or refused (ASCII STL).
  std::size_t maxPiece = kMaxLinePiece;
  // After loading, give the memory the reading threads freed back to the
  // system: a process-wide choice, made by the command that loads.
  bool returnFreeMemory = false;
};

// The number of threads `threads` asks for (0: one per core).
std::size_t StreamThreads(unsigned threads);
// The block size for that many threads: memory stays about kStreamMemory.
std::size_t DefaultBlock(std::size_t threads);

// Vertex positions of every "v" line, in file order. Raises
// Error::Kind::cannot_open when the file cannot be opened (`out` then empty).
void LoadObjVertices(const std::string& path, std::vector<geometry::Vector3>& out,
                     const StreamOptions& options = {});

// What the command-line host and the C++ interface add to a replay; the
// exported commands replay with none of it, byte for byte as they always did.
struct ReplayStyle {
  static constexpr int kShortest = -1;
  // Decimals of the written coordinates (0 to 17), or kShortest: the fewest
  // digits that read back as the same double.
  int digits = 6;
  // "vn" lines turned by the inverse transpose of the motion's linear part
  // (unit length, in the same digits); under a mirroring motion every face's
  // corners are also listed the other way round, so faces keep facing out.
  bool normals = false;
  // Count the lines that a replay may get wrong (ReplayWarningKind).
  bool check = false;
  // Whether `digits` was chosen. When not, ASCII STL and PLY numbers are
  // written with the significant digits the input's own carry (at least);
  // OBJ is written in `digits` either way.
  bool digitsChosen = false;
  // glTF: the motion goes into the scene's root nodes instead of the vertex
  // data, which is left as it is.
  bool sceneNodes = false;
};

// Lines a replay copies or reads in a way the user may not expect.
enum class ReplayWarningKind : std::uint8_t {
  not_a_vertex_line,   // "v" and a tab: not a vertex record, copied unmoved
  trailing_text,       // a coordinate with text after its number ("1,5", "1abc"): the rest ignored
  non_finite,          // a coordinate that is nan or infinite
  carriage_return,     // a carriage return inside a line: line ends other than LF
  normals_not_turned,  // "vn" lines copied under a turning motion (normals not asked for)
  precision,           // the written digits move vertices by more than 1e-6 of the mesh's size
};
inline constexpr std::size_t kReplayWarningKinds = 6;
// "not_a_vertex_line", "trailing_text", ... as spelled above.
const char* ReplayWarningName(ReplayWarningKind kind);

struct ReplayWarning {
  std::uint64_t count = 0;  // lines (precision: vertices written)
  std::uint64_t line = 0;   // the first such line, 1-based (precision: the worst vertex's)
};

// What a replay did, for reports.
struct ReplayCounts {
  std::uint64_t vertices = 0;  // vertex lines moved
  // With ReplayStyle::check: each kind's count and first line.
  std::array<ReplayWarning, kReplayWarningKinds> warnings{};
  double largestRounding = 0.0;  // how far the written digits moved a vertex at most
  double size = 0.0;             // the written mesh's bounding-box diagonal
};

// Streams `input` to `output` as the document text: every line normalised,
// every vertex line moved by `m`, each line followed by the platform's line
// end; a vertex line whose coordinates do not fit in one piece is refused, and
// so is a finite vertex `m` carries out of the double range. A UTF-8
// byte-order mark at the start is written back as it was. The output replaces `output`
// only when complete; any error (the first in file order, whatever the number
// of threads) leaves it as it was. Every thread started has ended when it
// returns. `counts`, when given, is filled once the output is in place.
// An input that cannot be opened raises Error::Kind::cannot_open, nothing written.
// `vet`, when given, sees the counts before the output is put in place: what it
// raises leaves the output as it was (a caller that takes warnings for errors).
void TransformObjFile(const std::string& input, const std::string& output,
                      const geometry::Matrix4& m, const StreamOptions& options = {},
                      ReplayCounts* counts = nullptr, const ReplayStyle& style = {},
                      const std::function<void(const ReplayCounts&)>& vet = {});

// The same transformation on text in memory; `newline` ends every line. The
// text's first line is numbered `first_line` in errors, so that a long input
// can be handed over in runs of whole lines.
// `counts`, when given, gains this text's vertices and warnings (line numbers
// as the text's first line says), so that runs of one file add up.
std::string TransformObjText(std::string_view text, const geometry::Matrix4& m,
                             std::string_view newline, const std::string& source_name,
                             std::uint64_t first_line = 1, ReplayCounts* counts = nullptr,
                             const ReplayStyle& style = {});

}  // namespace korvane::obj
