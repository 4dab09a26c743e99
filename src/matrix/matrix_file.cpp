#include "matrix/matrix_file.h"

#include <algorithm>
#include <cstdint>

#include "obj/obj_line.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/numbers.h"

namespace korvane::matrix {

namespace {
constexpr std::size_t kMaxMatrixFileBytes = std::size_t{256} << 20;
}  // namespace

std::string FormatMatrixText(const geometry::Matrix4& m, std::string_view newline) {
  char cells[16][text::kMaxGeneralChars];
  std::size_t lengths[16];
  std::size_t width = 0;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const int k = i * 4 + j;
      char* end = text::FormatGeneral15(cells[k], m.matrix()(i, j));
      lengths[k] = static_cast<std::size_t>(end - cells[k]);
      width = std::max(width, lengths[k]);
    }
  }
  std::string out;
  out.reserve(4 * (4 * width + 3 + newline.size()));
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const int k = i * 4 + j;
      if (j > 0) out += ' ';
      out.append(width - lengths[k], ' ');
      out.append(cells[k], lengths[k]);
    }
    out += newline;
  }
  return out;
}

void WriteMatrixFile(const std::string& path, const geometry::Matrix4& m) {
  platform::WriteFileAtomically(path, FormatMatrixText(m, platform::kNewline));
}

std::string ReadMatrixFile(const std::string& path) {
  // Only the first four lines count; the cap keeps a runaway device from
  // taking all memory (a matrix file is some hundred bytes).
  std::string content;
  bool complete = true;
  if (!platform::ReadLeadingLines(path, 4, kMaxMatrixFileBytes, content, complete))
    text::ThrowCannotOpen(path);
  if (!complete) {
    throw Error(Error::Kind::io,
                text::Message().Host(path).Own(": ").Say(text::kMatrixFileTooLarge));
  }
  std::string_view lines = content;
  lines.remove_prefix(obj::LeadingMarkLength(content, path));
  std::string text;
  text.reserve(content.size() + 1);
  text::ForEachTextLine(lines, [&](std::string_view line, std::uint64_t) {
    text.append(line.data(), line.size());
    text += '\n';
  });
  return text;
}

geometry::Matrix4 ParseMatrixText(std::string_view text, const std::string& source_name,
                                  int* numbers) {
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  int given = 0;
  std::size_t pos = 0;
  for (int row = 0; row < 4 && pos <= text.size(); ++row) {
    const std::size_t lf = text.find('\n', pos);
    const std::string_view line =
        text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    int column = 0;
    text::ForEachToken(line, [&](std::string_view piece) {
      if (column == 4) return;  // numbers past the fourth are ignored
      const text::ParseResult r = text::ParseDouble(piece);
      if (r.status != text::ParseStatus::ok) {
        text::ThrowConversionError(r.status, source_name, static_cast<std::uint64_t>(row) + 1);
      }
      m.matrix()(row, column++) = r.value;
      ++given;
    });
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  if (numbers != nullptr) *numbers = given;
  return m;
}

}  // namespace korvane::matrix
