// glibc's strtod as the reference for the number reader, with the two faults
// of Debian 12's glibc (2.36) corrected. Shared by the tests and the fuzzer.
#pragma once

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace korvane::testing {

struct Reference {
  double value;
  std::size_t consumed;
  bool erange;
};

// Exact decimal text of a long double (x87: 64-bit mantissa), which holds the
// midpoints and limits between doubles that the rounding tests need.
inline std::string ExactText(long double v) {
  char buf[1400];
  std::snprintf(buf, sizeof buf, "%.1100Le", v);
  std::string s(buf);
  const std::size_t e = s.find('e');
  std::size_t last = e;
  while (s[last - 1] == '0') --last;
  if (s[last - 1] == '.') --last;
  return s.substr(0, last) + s.substr(e);
}

inline Reference Strtod(const std::string& c_string) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(c_string.c_str(), &end);
  return {v, static_cast<std::size_t>(end - c_string.c_str()), errno == ERANGE};
}

// Significant bits of the hex mantissa in a "[sign]0x..." prefix.
inline int HexSignificantBits(const std::string& prefix) {
  std::string digits;
  for (std::size_t i = prefix.find_first_of("xX") + 1; i < prefix.size(); ++i) {
    if (prefix[i] == 'p' || prefix[i] == 'P') break;
    if (prefix[i] != '.') digits += prefix[i];
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  const std::size_t last = digits.find_last_not_of('0');
  const unsigned lead = static_cast<unsigned>(std::stoi(digits.substr(first, 1), nullptr, 16));
  const unsigned tail = static_cast<unsigned>(std::stoi(digits.substr(last, 1), nullptr, 16));
  return static_cast<int>(4 * (last - first + 1)) - (4 - (32 - __builtin_clz(lead))) -
         __builtin_ctz(tail);
}

// 0.DIGITS * 10^point of a decimal text; false when it reads as zero.
inline bool NormalizeDecimal(const std::string& text, std::string& digits, long long& point) {
  std::size_t i = text.find_first_of("0123456789.");
  std::string all;
  long long int_digits = 0;
  bool in_fraction = false;
  for (; i < text.size(); ++i) {
    if (text[i] == '.') {
      in_fraction = true;
    } else if (text[i] >= '0' && text[i] <= '9') {
      all += text[i];
      if (!in_fraction) ++int_digits;
    } else {
      break;
    }
  }
  long long exp = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const bool neg = text[i + 1] == '-';
    for (i += (text[i + 1] == '-' || text[i + 1] == '+') ? 2u : 1u; i < text.size(); ++i) {
      if (exp < 1000000000000LL) exp = exp * 10 + (text[i] - '0');
    }
    if (neg) exp = -exp;
  }
  const std::size_t first = all.find_first_not_of('0');
  if (first == std::string::npos) return false;
  digits = all.substr(first, all.find_last_not_of('0') - first + 1);
  point = int_digits - static_cast<long long>(first) + exp;
  return true;
}

// Debian 12's glibc (2.36) has two faults that later releases fixed:
// - when a result is subnormal, round_and_return drops the first bit below
//   the 53 it collected, so an input of exactly 54 significant bits (hex, or
//   a long exact decimal) can round the wrong way or miss its range error;
// - an overflowing NaN payload leaks ERANGE from strtoull.
// Those inputs are exact in a long double, so the reference for them is the
// hardware's conversion of that long double; NaN is never a range error.
inline Reference Oracle(std::string_view text) {
  const std::string c_string(text);  // strtod stops at an embedded NUL, as ParseDouble must
  Reference r = Strtod(c_string);
  if (std::isnan(r.value)) r.erange = false;
  if (r.consumed == 0 || !std::isfinite(r.value) || std::fabs(r.value) > DBL_MIN) return r;
  const std::string prefix = c_string.substr(0, r.consumed);
  const long double ld = std::strtold(prefix.c_str(), nullptr);
  if (ld == 0 || !std::isfinite(ld)) return r;
  bool exact = false;
  if (prefix.find_first_of("xX") != std::string::npos) {
    exact = HexSignificantBits(prefix) <= 64;
  } else {
    std::string a, b;
    long long pa = 0, pb = 0;
    exact = NormalizeDecimal(prefix, a, pa) && NormalizeDecimal(ExactText(ld), b, pb) && a == b &&
            pa == pb;
  }
  if (!exact) return r;
  r.value = static_cast<double>(ld);
  // x86 detects tininess after rounding to 53 bits with an unbounded exponent.
  const bool tiny = std::fabs(static_cast<double>(ld * 0x1p200L)) < 0x1p-822;
  r.erange = tiny && static_cast<long double>(r.value) != ld;
  return r;
}

}  // namespace korvane::testing
