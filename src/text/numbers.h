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
  double value = 0.0;    // what strtod returns (also on out_of_range)
  std::size_t consumed = 0;  // length of the longest numeric prefix, leading white space included
  ParseStatus status = ParseStatus::invalid;
};

// strtod semantics on a byte range: leading C-locale white space is skipped,
// the longest numeric prefix (decimal, hexadecimal "0x", "inf", "infinity",
// "nan", "nan(chars)") is converted with correct rounding. A NUL byte ends the
// text as it would for a C string.
ParseResult ParseDouble(std::string_view text) noexcept;

// std::stod semantics: throws std::invalid_argument("invalid stod argument")
// or std::out_of_range("stod argument out of range").
double Stod(std::string_view text);

// Largest text either writer can produce, terminating zero not included.
inline constexpr std::size_t kMaxFixedChars = 330;
inline constexpr std::size_t kMaxGeneralChars = 32;

// printf("%f"): returns one past the last character written. `out` must hold
// kMaxFixedChars characters.
char* FormatFixed6(char* out, double value) noexcept;

// printf("%.15g"): returns one past the last character written. `out` must
// hold kMaxGeneralChars characters.
char* FormatGeneral15(char* out, double value) noexcept;

std::string ToFixed6(double value);
std::string ToGeneral15(double value);

}  // namespace korvane::text
