// Any bytes as an OBJ file, read by every path the library has: the document
// (LoadText + ToString), the in-memory stream (TransformObjText), the file
// stream (LineReader with tiny blocks, LoadObjVertices, TransformObjFile), and
// the file stream on several threads with tiny blocks. They must agree on the
// lines, the vertices, the output text and the error: a UTF-8 byte-order mark
// is no part of the first line, UTF-16 text and a finite vertex moved out of
// the double range are refused.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "line_model/obj_document.h"
#include "obj/obj_line.h"
#include "obj/obj_stream.h"
#include "text/error.h"
#include "platform/file_io.h"
#include "text/lines.h"
#include "text/messages.h"

namespace {

using korvane::Error;
using korvane::geometry::Matrix4;
using korvane::obj::ObjDocument;
using korvane::geometry::Vector3;
using korvane::fuzz::Bits;
using korvane::fuzz::Show;
using korvane::text::Message;

// One private directory per process: replays may run side by side.
class TempFiles {
 public:
  TempFiles() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvane_fuzz_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    dir_ = pattern;
    input = dir_ + "/in.obj";
    output = dir_ + "/out.obj";
  }
  ~TempFiles() {
    std::remove(input.c_str());
    std::remove(output.c_str());
    rmdir(dir_.c_str());
  }
  std::string input;
  std::string output;

 private:
  std::string dir_;
};

TempFiles& Files() {
  static TempFiles files;
  return files;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  // A new file rather than a truncated one: ext4 flushes a file truncated to
  // zero when it is closed, which would make every input wait for the disk.
  std::remove(path.c_str());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr, "cannot create " + path);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  FUZZ_CHECK(std::fclose(f) == 0 && written, "cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::string out;
  FUZZ_CHECK(korvane::platform::ReadWholeFile(path, out), "cannot read " + path);
  return out;
}

std::uint64_t Fnv1a(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  return h;
}

// The transform of the run, picked by the input's hash so that the text
// itself stays plain OBJ: 0 identity, 1 a rigid motion, 2 a scale that
// overflows, 3 one that makes NaN and signed zeros.
Matrix4 PickMatrix(std::uint64_t choice) {
  Matrix4 m = korvane::geometry::IdentityMatrix4();
  auto& a = m.matrix();
  switch (choice) {
    case 0:
      break;
    case 1:
      a << 0.36, 0.48, -0.8, 1.5,  //
          -0.8, 0.6, 0.0, -2.25,   //
          0.48, 0.64, 0.6, 1e-7,   //
          0.0, 0.0, 0.0, 1.0;
      break;
    case 2:
      a << 1e300, 0.0, 0.0, 0.0,   //
          0.0, -1e-300, 0.0, 0.0,  //
          0.0, 0.0, 3.0, 1e308,    //
          0.0, 0.0, 0.0, 1.0;
      break;
    default:
      a << -0.0, 1.0, 0.0, -0.0,                                    //
          std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0, 0.0,  //
          0.0, 0.0, -std::numeric_limits<double>::infinity(), 0.0,  //
          0.0, 0.0, 0.0, 1.0;
      break;
  }
  return m;
}

// Lines by the rule itself: split at each LF, one CR right before it dropped,
// the rest after the last LF (maybe empty) a final line.
std::vector<std::string_view> ReferenceLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(pos));
      return lines;
    }
    std::string_view line = text.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = lf + 1;
  }
}

bool IsVertexLine(std::string_view line) {
  const std::size_t b = line.find_first_not_of(' ');
  if (b == std::string_view::npos) return false;
  const std::size_t e = line.find(' ', b);
  return line.substr(b, e == std::string_view::npos ? e : e - b) == "v";
}

std::string ShowMessage(const Message& m) {
  std::string out;
  for (const Message::Piece& p : m.pieces()) {
    out += (p.encoding == Message::Encoding::cp932 ? "own:" : "host:") + Show(p.bytes) + " ";
  }
  return out;
}

bool SameError(const Error& a, const Error& b) {
  if (a.kind() != b.kind() || a.message().pieces().size() != b.message().pieces().size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.message().pieces().size(); ++i) {
    const Message::Piece& p = a.message().pieces()[i];
    const Message::Piece& q = b.message().pieces()[i];
    if (p.bytes != q.bytes || p.encoding != q.encoding) return false;
  }
  return true;
}

// Runs `f`, returning the korvane::Error it raised, if any.
template <class F>
std::optional<Error> Capture(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = korvane::fuzz::AsString(data, size);
  // FNV's low bits depend on the low bits of the bytes only: use the high ones.
  const std::uint64_t hash = Fnv1a(input) >> 32;
  const std::uint64_t matrix_choice = hash % 4;
  const std::size_t block = 1 + static_cast<std::size_t>((hash >> 2) % 16);
  const Matrix4 m = PickMatrix(matrix_choice);
  const std::string& name = Files().input;
  const bool utf16 = korvane::text::StartsAsUtf16(input);
  std::string_view body = input;
  if (body.substr(0, 3) == korvane::text::kUtf8Mark) body.remove_prefix(3);
  const std::vector<std::string_view> raw_lines = ReferenceLines(input);
  const std::vector<std::string_view> want_lines = ReferenceLines(body);

  const auto line_feeds = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
  FUZZ_CHECK(raw_lines.size() == line_feeds + 1, Show(input));

  ObjDocument doc;
  const std::optional<Error> load_error = Capture([&] { doc.LoadText(input, name); });
  std::string doc_text;
  std::optional<Error> write_error;
  if (!load_error) {
    doc.transform = m;
    write_error = Capture([&] { doc_text = doc.ToString(); });
  }
  const std::optional<Error> doc_error = load_error ? load_error : write_error;
  if (utf16) {
    FUZZ_CHECK(load_error && load_error->kind() == Error::Kind::refused && doc.lines.empty(),
               Show(input) + " is UTF-16 text");
  }

  // The document keeps the lines up to and including a bad vertex line.
  FUZZ_CHECK(doc.lines.size() <= want_lines.size(), Show(input));
  for (std::size_t i = 0; i < doc.lines.size(); ++i) {
    FUZZ_CHECK(doc.lines[i] == want_lines[i], Show(input) + " line " + std::to_string(i + 1) +
                                                  ": " + Show(doc.lines[i]) + " instead of " +
                                                  Show(want_lines[i]));
  }
  std::size_t vertex_lines = 0;
  for (const std::string& line : doc.lines) {
    if (IsVertexLine(line)) ++vertex_lines;
  }
  if (load_error && !utf16) {
    // "<name> line <n>: <stod text>", n being the bad vertex line.
    const auto& pieces = load_error->message().pieces();
    const bool range = load_error->kind() == Error::Kind::number_out_of_range;
    FUZZ_CHECK(range || load_error->kind() == Error::Kind::invalid_number, Show(input));
    FUZZ_CHECK(pieces.size() == 5 && pieces[0].bytes == name && pieces[1].bytes == " line " &&
                   pieces[2].bytes == std::to_string(doc.lines.size()) && pieces[3].bytes == ": " &&
                   pieces[4].bytes ==
                       (range ? korvane::text::kStodOutOfRange : korvane::text::kInvalidStod),
               Show(input) + " raised " + ShowMessage(load_error->message()));
    FUZZ_CHECK(!doc.lines.empty() && IsVertexLine(doc.lines.back()), Show(input));
    FUZZ_CHECK(doc.vertices.size() + 1 == vertex_lines, Show(input));
  } else if (!load_error) {
    FUZZ_CHECK(doc.lines.size() == want_lines.size(), Show(input));
    FUZZ_CHECK(doc.vertices.size() == vertex_lines, Show(input));
    // Refused exactly when the motion carries a finite vertex out of range.
    const bool out_of_range =
        std::any_of(doc.vertices.begin(), doc.vertices.end(), [&](const Vector3& v) {
          return v.allFinite() && !korvane::geometry::TransformPoint(m, v).allFinite();
        });
    FUZZ_CHECK(write_error.has_value() == out_of_range,
               Show(input) + (out_of_range ? " was not refused" : " was refused"));
    const auto out_lines =
        static_cast<std::size_t>(std::count(doc_text.begin(), doc_text.end(), '\n'));
    FUZZ_CHECK(write_error || out_lines == doc.lines.size(),
               Show(input) + " wrote " + Show(doc_text));
  }

  // The streams stop at the first problem in file order. The document reads
  // every line before it moves any: a vertex carried out of range before the
  // bad number it reports is where the streams stop.
  std::optional<Error> stream_want = doc_error;
  if (load_error && !utf16) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < doc.lines.size() && k < doc.vertices.size(); ++i) {
      if (!IsVertexLine(doc.lines[i])) continue;
      const Vector3& v = doc.vertices[k++];
      if (v.allFinite() && !korvane::geometry::TransformPoint(m, v).allFinite()) {
        stream_want = Capture([&] { korvane::obj::ThrowMovedOutOfRange(name, i + 1); });
        break;
      }
    }
  }

  // In-memory stream: the same text or the same error.
  std::string stream_text;
  const std::optional<Error> stream_error =
      Capture([&] { stream_text = korvane::obj::TransformObjText(input, m, "\n", name); });
  FUZZ_CHECK(stream_want.has_value() == stream_error.has_value() &&
                 (!stream_want || SameError(*stream_want, *stream_error)),
             Show(input) + "\n  expected: " +
                 (stream_want ? ShowMessage(stream_want->message()) : std::string("no error")) +
                 "\n  stream:   " +
                 (stream_error ? ShowMessage(stream_error->message()) : std::string("no error")));
  if (!doc_error) {
    FUZZ_CHECK(stream_text == doc_text, Show(input) + " (matrix " + std::to_string(matrix_choice) +
                                            ")\n  document: " + Show(doc_text, 400) +
                                            "\n  stream:   " + Show(stream_text, 400));
    std::string crlf;
    for (const char c : stream_text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    FUZZ_CHECK(korvane::obj::TransformObjText(input, m, "\r\n", name) == crlf, Show(input));
  }

  // The same bytes from a file, read in blocks far smaller than a line.
  WriteFile(Files().input, input);
  {
    korvane::platform::InputFile in;
    FUZZ_CHECK(in.Open(Files().input), Files().input);
    korvane::obj::LineReader reader(in, block);
    std::string_view line;
    std::size_t count = 0;
    while (reader.Next(line)) {
      FUZZ_CHECK(count < raw_lines.size() && line == raw_lines[count] &&
                     reader.lineNumber() == count + 1,
                 Show(input) + " LineReader line " + std::to_string(count + 1) + ": " + Show(line));
      ++count;
    }
    FUZZ_CHECK(count == raw_lines.size(),
               Show(input) + " LineReader gave " + std::to_string(count) + " lines");
  }

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // Both file commands allocate megabyte buffers, which under ASan cost more
  // than all the rest together: while fuzzing, one input in eight runs them.
  if ((hash >> 6) % 8 != 0) return 0;
#endif
  std::vector<Vector3> vertices;
  const std::optional<Error> vertices_error = Capture(
      [&] { korvane::obj::LoadObjVertices(Files().input, vertices); });
  // Only reading: no motion to carry anything out of range.
  FUZZ_CHECK(load_error.has_value() == vertices_error.has_value() &&
                 (!load_error || SameError(*load_error, *vertices_error)),
             Show(input) + " LoadObjVertices disagrees on the error");
  if (!load_error) {
    bool same = vertices.size() == doc.vertices.size();
    for (std::size_t i = 0; same && i < vertices.size(); ++i) {
      for (int k = 0; k < 3; ++k) same = same && Bits(vertices[i][k]) == Bits(doc.vertices[i][k]);
    }
    FUZZ_CHECK(same, Show(input) + " LoadObjVertices disagrees on the vertices");
  }

  // The file command replaces its output only when it succeeds.
  const std::string previous = "previous content\n";
  WriteFile(Files().output, previous);
  const std::optional<Error> file_error = Capture([&] {
    korvane::obj::TransformObjFile(Files().input, Files().output, m);
  });
  FUZZ_CHECK(stream_want.has_value() == file_error.has_value() &&
                 (!stream_want || SameError(*stream_want, *file_error)),
             Show(input) + " TransformObjFile disagrees on the error");
  const std::string written = ReadFile(Files().output);
  FUZZ_CHECK(written == (stream_want ? previous : stream_text),
             Show(input) + " TransformObjFile wrote " + Show(written, 400));

  // Several threads, blocks of a few bytes: the same vertices, text and error.
  korvane::obj::StreamOptions threads;
  threads.threads = 2 + static_cast<unsigned>((hash >> 9) % 2);
  threads.block = 1 + static_cast<std::size_t>((hash >> 10) % 16);
  threads.parallelFrom = 0;
  std::vector<Vector3> threaded_vertices;
  const std::optional<Error> threaded_vertices_error = Capture([&] {
    korvane::obj::LoadObjVertices(Files().input, threaded_vertices, threads);
  });
  FUZZ_CHECK(load_error.has_value() == threaded_vertices_error.has_value() &&
                 (!load_error || SameError(*load_error, *threaded_vertices_error)),
             Show(input) + " LoadObjVertices on threads disagrees on the error");
  if (!load_error) {
    bool same = threaded_vertices.size() == vertices.size();
    for (std::size_t i = 0; same && i < vertices.size(); ++i) {
      for (int k = 0; k < 3; ++k) {
        same = same && Bits(threaded_vertices[i][k]) == Bits(vertices[i][k]);
      }
    }
    FUZZ_CHECK(same, Show(input) + " LoadObjVertices on threads disagrees on the vertices");
  }
  WriteFile(Files().output, previous);
  const std::optional<Error> threaded_error = Capture([&] {
    korvane::obj::TransformObjFile(Files().input, Files().output, m, threads);
  });
  FUZZ_CHECK(stream_want.has_value() == threaded_error.has_value() &&
                 (!stream_want || SameError(*stream_want, *threaded_error)),
             Show(input) + " TransformObjFile on threads disagrees on the error");
  const std::string threaded_written = ReadFile(Files().output);
  FUZZ_CHECK(threaded_written == written,
             Show(input) + " TransformObjFile on threads wrote " + Show(threaded_written, 400));
  return 0;
}
