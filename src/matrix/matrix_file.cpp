#include "matrix/matrix_file.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "obj/obj_line.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/messages.h"
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

namespace {

// The file's first `lines` lines (all of them for SIZE_MAX), each followed by "\n"; `complete` is
// false when the byte cap stopped the reading first.
std::string GatherLines(const std::string& path, std::size_t lines, bool& complete) {
  // The cap keeps a runaway device from taking all memory (a matrix file is some hundred bytes).
  std::string content;
  if (!platform::ReadLeadingLines(path, lines, kMaxMatrixFileBytes, content, complete))
    text::ThrowCannotOpen(path);
  std::string_view lines_read = content;
  lines_read.remove_prefix(obj::LeadingMarkLength(content, path));
  std::string text;
  text.reserve(content.size() + 1);
  text::ForEachTextLine(lines_read, [&](std::string_view line, std::uint64_t) {
    text.append(line.data(), line.size());
    text += '\n';
  });
  return text;
}

[[noreturn]] void RefuseLine(Error::Kind kind, text::Message m, const std::string& source,
                             std::uint64_t line) {
  m.Say(text::kMatrixWriteFourLines);
  throw Error(kind, std::move(m), source, line);
}

}  // namespace

std::string ReadMatrixFile(const std::string& path) {
  // Only the first four lines count.
  bool complete = true;
  std::string text = GatherLines(path, 4, complete);
  if (!complete) {
    throw Error(Error::Kind::io,
                text::Message().Host(path).Own(": ").Say(text::kMatrixFileTooLarge));
  }
  return text;
}

geometry::Matrix4 ReadMatrixFileStrict(const std::string& path) {
  bool complete = true;
  std::string text = GatherLines(path, SIZE_MAX, complete);
  if (!complete) {
    throw Error(Error::Kind::refused,
                text::Message().Host(path).Own(": ").Say(text::kMatrixFileLargerThanCap), path);
  }
  return ParseMatrixTextStrict(text, path);
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

geometry::Matrix4 ParseMatrixTextStrict(std::string_view text, const std::string& source_name) {
  geometry::Matrix4 m = geometry::IdentityMatrix4();
  std::size_t pos = 0;
  std::uint64_t line_number = 0;
  const auto next_line = [&] {
    const std::size_t lf = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // text not gathered by us
    pos = lf + 1;
    ++line_number;
    return line;
  };
  for (int row = 0; row < 4; ++row) {
    // Blank lines at the end are no rows (the gathered text ends with an empty line of its own).
    if (text.find_first_not_of(" \t\r\n", pos) == std::string_view::npos) {
      RefuseLine(Error::Kind::refused,
                 text::AtLine(source_name, line_number + 1).Say(text::kMatrixEndsEarly),
                 source_name, line_number + 1);
    }
    const std::string_view line = next_line();
    int count = 0;
    text::ForEachToken(line, [&](std::string_view token) {
      const text::ParseResult r = text::ParseDouble(token);
      text::Message at = text::AtLine(source_name, line_number);
      if (r.status == text::ParseStatus::out_of_range) {
        RefuseLine(Error::Kind::number_out_of_range,
                   at.Host(text::Quoted(token)).Say(text::kBeyondNumbers), source_name,
                   line_number);
      }
      if (r.status != text::ParseStatus::ok || r.consumed != token.size()) {
        RefuseLine(Error::Kind::invalid_number,
                   at.Host(text::Quoted(token)).Say(text::kMatrixIsNotANumber), source_name,
                   line_number);
      }
      if (!std::isfinite(r.value)) {
        RefuseLine(Error::Kind::refused, at.Host(text::Quoted(token)).Say(text::kMatrixIsNotFinite),
                   source_name, line_number);
      }
      if (count < 4) m.matrix()(row, count) = r.value;
      ++count;
    });
    if (count != 4) {
      RefuseLine(Error::Kind::refused,
                 text::AtLine(source_name, line_number)
                     .Own(std::to_string(count))
                     .Say(text::kMatrixNumbersNotFour),
                 source_name, line_number);
    }
  }
  while (pos < text.size()) {
    const std::string_view line = next_line();
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      RefuseLine(Error::Kind::refused,
                 text::AtLine(source_name, line_number).Say(text::kMatrixTextAfter), source_name,
                 line_number);
    }
  }
  return m;
}

}  // namespace korvane::matrix
