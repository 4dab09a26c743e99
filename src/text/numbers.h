// Locale-independent number text: reading exactly like glibc's strtod in the
// "C" locale, writing exactly like glibc's printf "%f" and "%.15g". The same
// code runs on Windows and Linux so both builds produce identical bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::text {

enum class ParseStatus {
  ok,            // a number was read
  invalid,       // no prefix of the text forms a number (consumed == 0)
  out_of_range,  // strtod would set ERANGE (overflow, or an inexact result below DBL_MIN)
};

struct ParseResult {
  double value = 0.0;        // what strtod returns (also on out_of_range)
  std::size_t consumed = 0;  // length of the longest numeric prefix, leading white space included
  ParseStatus status = ParseStatus::invalid;
};

// The general reader behind ParseDouble.
ParseResult ParseDoubleGeneral(std::string_view text) noexcept;

// strtod semantics on a byte range: leading C-locale white space is skipped,
// the longest numeric prefix (decimal, hexadecimal "0x", "inf", "infinity",
// "nan", "nan(chars)") is converted with correct rounding. A NUL byte ends the
// text as it would for a C string.
inline ParseResult ParseDouble(std::string_view text) noexcept {
  // Mesh files are mostly plain decimals such as "-0.107709", or numbers such
  // as "1.234567e+01" (STL), that end the text or meet a space. With at most
  // 15 digits the digits form an exact double and so does a power of ten up
  // to 1e22, so one multiplication or division rounds correctly.
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool neg = p != end && *p == '-';
  p += neg;
  const char* const digits_start = p;
  unsigned long long m = 0;
  while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
    m = m * 10 + static_cast<unsigned char>(*p - '0');
    ++p;
  }
  const char* const int_end = p;
  std::size_t frac = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* const frac_start = p;
    while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
      m = m * 10 + static_cast<unsigned char>(*p - '0');
      ++p;
    }
    frac = static_cast<std::size_t>(p - frac_start);
  }
  const auto ndigits = static_cast<std::size_t>(int_end - digits_start) + frac;
  if (ndigits == 0 || ndigits > 15) return ParseDoubleGeneral(text);
  int exponent = -static_cast<int>(frac);
  if (p != end && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    const bool minus = q != end && *q == '-';
    q += q != end && (*q == '-' || *q == '+');
    int e = 0;
    const char* const e_start = q;
    while (q != end && static_cast<unsigned char>(*q - '0') < 10 && q - e_start < 4) {
      e = e * 10 + (*q - '0');
      ++q;
    }
    if (q == e_start || q - e_start == 4) return ParseDoubleGeneral(text);
    exponent += minus ? -e : e;
    p = q;
  }
  if ((p != end && *p != ' ') || exponent < -22 || exponent > 22) return ParseDoubleGeneral(text);
  const double v = exponent >= 0 ? static_cast<double>(m) * kPow10[exponent]
                                 : static_cast<double>(m) / kPow10[-exponent];
  return ParseResult{neg ? -v : v, static_cast<std::size_t>(p - text.data()), ParseStatus::ok};
}

// std::stod semantics: throws std::invalid_argument("invalid stod argument")
// or std::out_of_range("stod argument out of range").
double Stod(std::string_view text);

// Largest text either writer can produce, terminating zero not included.
inline constexpr std::size_t kMaxFixedChars = 330;
inline constexpr std::size_t kMaxGeneralChars = 32;

// printf("%f"): returns one past the last character of the text. `out` must
// hold kMaxFixedChars characters; those after the text may be overwritten.
char* FormatFixed6(char* out, double value) noexcept;

// printf("%.15g"): returns one past the last character written. `out` must
// hold kMaxGeneralChars characters.
char* FormatGeneral15(char* out, double value) noexcept;

std::string ToFixed6(double value);
std::string ToGeneral15(double value);

}  // namespace korvane::text
