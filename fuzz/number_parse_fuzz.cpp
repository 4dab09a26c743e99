// ParseDouble against glibc's strtod in the "C" locale on the input as a C
// string: same value bits (NaN payloads too), same length read, same range
// error.
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text/numbers.h"

namespace {

using korvane::fuzz::Bits;
using korvane::fuzz::Show;
using korvane::fuzz::ShowDouble;
namespace text = korvane::text;

struct Reference {
  double value;
  std::size_t consumed;
  bool erange;
};

// Exact decimal text of a long double (x87: 64-bit mantissa).
std::string ExactText(long double v) {
  char buf[1400];
  std::snprintf(buf, sizeof buf, "%.1100Le", v);
  std::string s(buf);
  const std::size_t e = s.find('e');
  std::size_t last = e;
  while (s[last - 1] == '0') --last;
  if (s[last - 1] == '.') --last;
  return s.substr(0, last) + s.substr(e);
}

Reference Strtod(const std::string& c_string) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(c_string.c_str(), &end);
  return {v, static_cast<std::size_t>(end - c_string.c_str()), errno == ERANGE};
}

// Significant bits of the hex mantissa in a "[sign]0x..." prefix.
int HexSignificantBits(const std::string& prefix) {
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
bool NormalizeDecimal(const std::string& t, std::string& digits, long long& point) {
  std::size_t i = t.find_first_of("0123456789.");
  std::string all;
  long long int_digits = 0;
  bool in_fraction = false;
  for (; i < t.size(); ++i) {
    if (t[i] == '.') {
      in_fraction = true;
    } else if (t[i] >= '0' && t[i] <= '9') {
      all += t[i];
      if (!in_fraction) ++int_digits;
    } else {
      break;
    }
  }
  long long exp = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    const bool neg = t[i + 1] == '-';
    for (i += (t[i + 1] == '-' || t[i + 1] == '+') ? 2u : 1u; i < t.size(); ++i) {
      if (exp < 1000000000000LL) exp = exp * 10 + (t[i] - '0');
    }
    if (neg) exp = -exp;
  }
  const std::size_t first = all.find_first_not_of('0');
  if (first == std::string::npos) return false;
  digits = all.substr(first, all.find_last_not_of('0') - first + 1);
  point = int_digits - static_cast<long long>(first) + exp;
  return true;
}

// strtod, except for the inputs Debian 12's glibc (2.36) gets wrong, which the
// number tests exclude the same way:
// - with a subnormal result, round_and_return drops the first bit below the
//   53 it collected, so a text of exactly 54 significant bits (hex, or a long
//   exact decimal) can round the wrong way or miss its range error;
// - an overflowing NaN payload leaks ERANGE from strtoull.
// Those texts are exact in a long double, so their reference is the
// hardware's conversion of that long double; NaN is never a range error.
Reference Oracle(std::string_view input) {
  const std::string c_string(input);  // strtod stops at an embedded NUL, as ParseDouble must
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

const char* StatusName(text::ParseStatus s) {
  switch (s) {
    case text::ParseStatus::ok:
      return "ok";
    case text::ParseStatus::invalid:
      return "invalid";
    case text::ParseStatus::out_of_range:
      return "out_of_range";
  }
  return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = korvane::fuzz::AsString(data, size);
  const Reference want = Oracle(input);
  const text::ParseStatus want_status = want.consumed == 0 ? text::ParseStatus::invalid
                                        : want.erange      ? text::ParseStatus::out_of_range
                                                           : text::ParseStatus::ok;
  const text::ParseResult got = text::ParseDouble(input);
  FUZZ_CHECK(Bits(got.value) == Bits(want.value) && got.consumed == want.consumed &&
                 got.status == want_status,
             "input " + Show(input) + "\n  strtod: " + ShowDouble(want.value) + " consumed " +
                 std::to_string(want.consumed) + " " + StatusName(want_status) +
                 "\n  ours:   " + ShowDouble(got.value) + " consumed " +
                 std::to_string(got.consumed) + " " + StatusName(got.status));
  return 0;
}
