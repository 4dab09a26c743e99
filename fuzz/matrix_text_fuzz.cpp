// Any bytes as a matrix file: the parse follows its rule (first four lines,
// first four numbers of each, identity elsewhere) or raises korvane::Error;
// the written text has the file's shape and reads back to itself.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "matrix/matrix_file.h"
#include "text/error.h"
#include "text/messages.h"
#include "text/numbers.h"

namespace {

using korvane::Error;
using korvane::fuzz::Bits;
using korvane::fuzz::Show;
using korvane::fuzz::ShowDouble;
using korvane::geometry::Matrix4;
namespace text = korvane::text;

const std::string kName = "fuzz.matrix";

std::vector<std::string_view> SplitSpaces(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    const std::size_t e = line.find(' ', i);
    const std::size_t stop = e == std::string_view::npos ? line.size() : e;
    out.push_back(line.substr(i, stop - i));
    i = stop;
  }
  return out;
}

struct Expected {
  Matrix4 m = korvane::geometry::IdentityMatrix4();
  // Set when some number fails: its status and 1-based line.
  text::ParseStatus status = text::ParseStatus::ok;
  int line = 0;
};

// The parse rule written out: lines end at LF only (a CR stays in the last
// number, whose prefix still reads), numbers past the fourth are ignored.
Expected Reference(std::string_view input) {
  Expected r;
  std::size_t pos = 0;
  for (int row = 0; row < 4; ++row) {
    const std::size_t lf = input.find('\n', pos);
    const std::string_view line =
        input.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    const std::vector<std::string_view> tokens = SplitSpaces(line);
    for (std::size_t col = 0; col < tokens.size() && col < 4; ++col) {
      const text::ParseResult p = text::ParseDouble(tokens[col]);
      if (p.status != text::ParseStatus::ok) {
        r.status = p.status;
        r.line = row + 1;
        return r;
      }
      r.m.matrix()(row, static_cast<Eigen::Index>(col)) = p.value;
    }
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return r;
}

std::optional<Error> Parse(std::string_view t, Matrix4& m) {
  try {
    m = korvane::matrix::ParseMatrixText(t, kName);
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

std::string Printf15(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// Four lines of four right-aligned "%.15g" fields of one common width: the
// widest field without padding, one space between fields.
void CheckShape(const Matrix4& m, const std::string& t, const std::string& input) {
  std::size_t width = 0;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) width = std::max(width, Printf15(m.matrix()(i, j)).size());
  }
  std::string want;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const std::string cell = Printf15(m.matrix()(i, j));
      if (j > 0) want += ' ';
      want += std::string(width - cell.size(), ' ') + cell;
    }
    want += '\n';
  }
  FUZZ_CHECK(t == want, Show(input) + "\n  want " + Show(want, 600) + "\n  got  " + Show(t, 600));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = korvane::fuzz::AsString(data, size);
  const Expected want = Reference(input);
  Matrix4 m = korvane::geometry::IdentityMatrix4();
  const std::optional<Error> error = Parse(input, m);

  if (want.status != text::ParseStatus::ok) {
    const bool range = want.status == text::ParseStatus::out_of_range;
    FUZZ_CHECK(error.has_value(), Show(input) + " parsed without error");
    const auto& pieces = error->message().pieces();
    FUZZ_CHECK(
        error->kind() == (range ? Error::Kind::number_out_of_range : Error::Kind::invalid_number),
        Show(input));
    FUZZ_CHECK(pieces.size() == 5 && pieces[0].bytes == kName && pieces[1].bytes == " line " &&
                   pieces[2].bytes == std::to_string(want.line) && pieces[3].bytes == ": " &&
                   pieces[4].bytes ==
                       (range ? korvane::text::kStodOutOfRange : korvane::text::kInvalidStod),
               Show(input) + " raised a wrong message");
    return 0;
  }
  FUZZ_CHECK(!error.has_value(), Show(input) + " raised an error");
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const double got = m.matrix()(i, j);
      const double w = want.m.matrix()(i, j);
      FUZZ_CHECK(Bits(got) == Bits(w), Show(input) + " coefficient (" + std::to_string(i) + ", " +
                                           std::to_string(j) + "): " + ShowDouble(got) +
                                           " instead of " + ShowDouble(w));
    }
  }

  const std::string first = korvane::matrix::FormatMatrixText(m);
  CheckShape(m, first, input);

  // "%.15g" of a value next to the range limits reads back out of range
  // (DBL_MIN, say, prints below it): glibc's strtod tells which cells do.
  bool range_expected = false;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const std::string cell = Printf15(m.matrix()(i, j));
      errno = 0;
      std::strtod(cell.c_str(), nullptr);
      range_expected = range_expected || errno == ERANGE;
    }
  }

  // Stable after one read: NaN payloads are lost, so texts are compared.
  Matrix4 again = korvane::geometry::IdentityMatrix4();
  const std::optional<Error> again_error = Parse(first, again);
  if (range_expected) {
    FUZZ_CHECK(again_error.has_value() && again_error->kind() == Error::Kind::number_out_of_range,
               Show(input) + " wrote " + Show(first, 600) + ", which should read out of range");
    return 0;
  }
  FUZZ_CHECK(!again_error.has_value(),
             Show(input) + " wrote " + Show(first, 600) + ", which does not read back");
  const std::string second = korvane::matrix::FormatMatrixText(again);
  FUZZ_CHECK(second == first,
             Show(input) + "\n  first  " + Show(first, 600) + "\n  second " + Show(second, 600));

  // The Windows line ends read the same.
  Matrix4 crlf = korvane::geometry::IdentityMatrix4();
  const std::optional<Error> crlf_error = Parse(korvane::matrix::FormatMatrixText(m, "\r\n"), crlf);
  FUZZ_CHECK(!crlf_error.has_value() && korvane::matrix::FormatMatrixText(crlf) == first,
             Show(input) + " does not read back with CR LF line ends");
  return 0;
}
