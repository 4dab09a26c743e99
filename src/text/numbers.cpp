#include "text/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace korvane::text {
namespace {

using std::int64_t;
using std::uint16_t;
using std::uint32_t;
using std::uint64_t;
__extension__ typedef unsigned __int128 U128;

constexpr uint64_t kExpBits = 0x7FF0000000000000ULL;
constexpr uint64_t kFracBits = 0x000FFFFFFFFFFFFFULL;
constexpr uint64_t kSignBit = 0x8000000000000000ULL;
constexpr uint64_t kQuietNan = 0x7FF8000000000000ULL;
constexpr uint64_t kDblMinBits = 0x0010000000000000ULL;

// Exponents beyond this cannot matter (the longest input we could ever hold is
// far shorter), and capping keeps every sum below in int64_t range.
constexpr int64_t kExponentCap = 100000000000000000LL;

constexpr double kPow10Double[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr uint64_t kPow10U64[] = {1ULL,
                                  10ULL,
                                  100ULL,
                                  1000ULL,
                                  10000ULL,
                                  100000ULL,
                                  1000000ULL,
                                  10000000ULL,
                                  100000000ULL,
                                  1000000000ULL,
                                  10000000000ULL,
                                  100000000000ULL,
                                  1000000000000ULL,
                                  10000000000000ULL,
                                  100000000000000ULL,
                                  1000000000000000ULL,
                                  10000000000000000ULL,
                                  100000000000000000ULL,
                                  1000000000000000000ULL,
                                  10000000000000000000ULL};

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline double FromBits(uint64_t bits) noexcept {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline uint64_t ToBits(double d) noexcept {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

inline unsigned DigitValue(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - 48u;
}

// Hex digit value, or 16 when `c` is not one.
inline unsigned HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return DigitValue(c);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

inline bool IsCSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline char Lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

inline int BitLength(uint64_t v) noexcept { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

inline int64_t FloorLog10Pow2(int64_t e) noexcept {
  // floor(e * log10(2)), exact for |e| well beyond the double range.
  const int64_t t = e * 78913;
  return t >= 0 ? t >> 18 : -((-t + (int64_t{1} << 18) - 1) >> 18);
}

// ---------------------------------------------------------------------------
// Exact decimal expansion of m * 2^e2, for the rare paths (huge "%f" values,
// "%.15g" outside the 128-bit range, exactness of tiny parse results).

class BigNum {
 public:
  explicit BigNum(uint64_t v) noexcept {
    while (v != 0) {
      limb_[size_++] = static_cast<uint32_t>(v);
      v >>= 32;
    }
  }

  bool IsZero() const noexcept { return size_ == 0; }

  void MulSmall(uint32_t f) noexcept {
    uint64_t carry = 0;
    for (int i = 0; i < size_; ++i) {
      const uint64_t t = uint64_t{limb_[i]} * f + carry;
      limb_[i] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    if (carry != 0) limb_[size_++] = static_cast<uint32_t>(carry);
  }

  void ShiftLeft(int bits) noexcept {
    if (size_ == 0 || bits == 0) return;
    const int words = bits / 32;
    const int rem = bits % 32;
    limb_[size_ + words] = 0;
    for (int i = size_ - 1; i >= 0; --i) {
      const uint64_t v = uint64_t{limb_[i]} << rem;
      limb_[i + words + 1] |= static_cast<uint32_t>(v >> 32);
      limb_[i + words] = static_cast<uint32_t>(v);
    }
    for (int i = 0; i < words; ++i) limb_[i] = 0;
    size_ += words + 1;
    while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
  }

  uint32_t DivSmall(uint32_t d) noexcept {
    uint64_t r = 0;
    for (int i = size_ - 1; i >= 0; --i) {
      const uint64_t cur = (r << 32) | limb_[i];
      limb_[i] = static_cast<uint32_t>(cur / d);
      r = cur % d;
    }
    while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
    return static_cast<uint32_t>(r);
  }

 private:
  // m < 2^64 times 5^1076 (or 2^971) needs at most 82 limbs.
  uint32_t limb_[96] = {};
  int size_ = 0;
};

// value = 0.d[0]d[1]...d[len-1] * 10^point, d[0] != '0', no trailing zeros.
struct Digits {
  static constexpr int kCapacity = 800;  // > 769, the longest exact expansion we make
  char d[kCapacity];
  int len = 0;
  int64_t point = 0;
  bool more = false;  // non-zero digits were dropped beyond kCapacity
};

// Requires m != 0 and -1076 <= e2 <= 971.
void ExactDigits(uint64_t m, int e2, Digits& out) noexcept {
  BigNum n(m);
  if (e2 >= 0) {
    n.ShiftLeft(e2);
  } else {
    // m * 2^e2 = m * 5^-e2 / 10^-e2
    constexpr uint32_t kPow5[] = {1,     5,      25,      125,     625,      3125,      15625,
                                  78125, 390625, 1953125, 9765625, 48828125, 244140625, 1220703125};
    int k = -e2;
    for (; k >= 13; k -= 13) n.MulSmall(kPow5[13]);
    n.MulSmall(kPow5[k]);
  }
  uint32_t chunks[100];
  int count = 0;
  while (!n.IsZero()) chunks[count++] = n.DivSmall(1000000000u);
  int len = 0;
  char tmp[10];
  for (int i = count - 1; i >= 0; --i) {
    uint32_t c = chunks[i];
    int w = 0;
    for (int j = 0; j < 9; ++j) {
      tmp[w++] = static_cast<char>('0' + c % 10);
      c /= 10;
    }
    if (i == count - 1) {
      while (w > 1 && tmp[w - 1] == '0') --w;
    }
    while (w > 0) out.d[len++] = tmp[--w];
  }
  out.point = len + (e2 < 0 ? e2 : 0);
  while (len > 0 && out.d[len - 1] == '0') --len;
  out.len = len;
  out.more = false;
}

// Significant digits of the decimal text [ib, ie) "." [fb, fe) "e" exp.
// Returns false when every digit is zero.
bool CollectDigits(const char* ib, const char* ie, const char* fb, const char* fe, int64_t exp,
                   Digits& out) noexcept {
  out.len = 0;
  out.more = false;
  const char* p = ib;
  while (p < ie && *p == '0') ++p;
  const char* segments[2][2] = {{p, ie}, {fb, fe}};
  int first = 0;
  if (p < ie) {
    out.point = (ie - p) + exp;
  } else {
    p = fb;
    while (p < fe && *p == '0') ++p;
    if (p == fe) return false;
    out.point = exp - (p - fb);
    segments[1][0] = p;
    first = 1;
  }
  int kept = 0;  // length up to the last non-zero digit stored
  for (int seg = first; seg < 2 && !out.more; ++seg) {
    for (const char* q = segments[seg][0]; q < segments[seg][1]; ++q) {
      if (out.len < Digits::kCapacity) {
        out.d[out.len++] = *q;
        if (*q != '0') kept = out.len;
      } else if (*q != '0') {
        out.more = true;
        break;
      }
    }
  }
  out.len = kept;
  return true;
}

int CompareDigits(const Digits& a, const Digits& b) noexcept {
  if (a.point != b.point) return a.point < b.point ? -1 : 1;
  const int n = a.len < b.len ? a.len : b.len;
  const int c = std::memcmp(a.d, b.d, static_cast<std::size_t>(n));
  if (c != 0) return c < 0 ? -1 : 1;
  if (a.len != b.len) return a.len < b.len ? -1 : 1;
  if (a.more != b.more) return a.more ? 1 : -1;
  return 0;
}

// ---------------------------------------------------------------------------
// Parsing

ParseResult Make(const char* begin, const char* stop, double v, ParseStatus st) noexcept {
  ParseResult r;
  r.value = v;
  r.consumed = static_cast<std::size_t>(stop - begin);
  r.status = st;
  return r;
}

// Reads [+-]digits after an 'e' or 'p' at `p`; returns the new position, or
// `p` itself (exponent marker not consumed) when no digit follows.
const char* ReadExponent(const char* p, const char* end, int64_t& exp) noexcept {
  const char* q = p + 1;
  bool neg = false;
  if (q < end && (*q == '+' || *q == '-')) {
    neg = *q == '-';
    ++q;
  }
  if (q >= end || !IsDigit(*q)) return p;
  int64_t v = 0;
  for (; q < end && IsDigit(*q); ++q) {
    if (v < kExponentCap) v = v * 10 + static_cast<int64_t>(DigitValue(*q));
  }
  exp = neg ? -v : v;
  return q;
}

// strtoull(seq, &end, 0) over a sequence of [0-9A-Za-z_]; true when it reads
// the whole sequence, as glibc requires before using it as a NaN payload.
bool ReadNanPayload(const char* b, const char* e, uint64_t& out) noexcept {
  unsigned base = 10;
  const char* p = b;
  if (p < e && *p == '0') {
    if (p + 1 < e && Lower(p[1]) == 'x' && p + 2 < e && HexValue(p[2]) < 16) {
      base = 16;
      p += 2;
    } else {
      base = 8;
    }
  }
  if (p == e) {
    out = 0;
    return true;  // empty sequence: nothing converted, but all of it consumed
  }
  uint64_t v = 0;
  bool overflow = false;
  for (; p < e; ++p) {
    const unsigned d = HexValue(*p);
    if (d >= base) return false;
    if (v > (std::numeric_limits<uint64_t>::max() - d) / base) overflow = true;
    v = v * base + d;
  }
  out = overflow ? std::numeric_limits<uint64_t>::max() : v;
  return true;
}

// Rounds m * 2^-shift (plus a sticky bit below) to an integer, ties to even.
uint64_t RoundShift(uint64_t m, int shift, bool sticky, bool& inexact) noexcept {
  if (shift <= 0) {
    inexact = sticky;
    return m << -shift;
  }
  if (shift > 64) {
    inexact = true;
    return 0;
  }
  const uint64_t q = shift == 64 ? 0 : m >> shift;
  const uint64_t rem = shift == 64 ? m : m & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  inexact = rem != 0 || sticky;
  const bool up = rem > half || (rem == half && (sticky || (q & 1) != 0));
  return q + (up ? 1 : 0);
}

ParseResult ParseHex(const char* begin, const char* zero, const char* end, bool neg) noexcept {
  const char* p = zero + 2;
  uint64_t m = 0;
  int nibbles = 0;
  bool sticky = false;
  bool any_digit = false;
  int64_t exp2 = 0;
  for (; p < end; ++p) {
    const unsigned d = HexValue(*p);
    if (d >= 16) break;
    any_digit = true;
    if (nibbles < 16) {
      if (nibbles > 0 || d != 0) {
        m = (m << 4) | d;
        ++nibbles;
      }
    } else {
      exp2 += 4;
      sticky |= d != 0;
    }
  }
  if (p < end && *p == '.' && (any_digit || (p + 1 < end && HexValue(p[1]) < 16))) {
    for (++p; p < end; ++p) {
      const unsigned d = HexValue(*p);
      if (d >= 16) break;
      any_digit = true;
      if (nibbles < 16) {
        if (nibbles > 0 || d != 0) {
          m = (m << 4) | d;
          ++nibbles;
        }
        exp2 -= 4;
      } else {
        sticky |= d != 0;
      }
    }
  }
  const double sign = neg ? -1.0 : 1.0;
  if (!any_digit) return Make(begin, zero + 1, sign * 0.0, ParseStatus::ok);  // "0x" alone: the 0
  if (p < end && (*p == 'p' || *p == 'P')) {
    int64_t e = 0;
    p = ReadExponent(p, end, e);
    exp2 += e;
  }
  if (m == 0) return Make(begin, p, sign * 0.0, ParseStatus::ok);

  const int top = BitLength(m) - 1;
  const int64_t msb = exp2 + top;
  const uint64_t sign_bit = neg ? kSignBit : 0;
  if (msb > 1023) return Make(begin, p, FromBits(sign_bit | kExpBits), ParseStatus::out_of_range);
  if (msb < -1200) {
    return Make(begin, p, FromBits(sign_bit), ParseStatus::out_of_range);
  }
  const int64_t lsb = msb >= -1022 ? msb - 52 : -1074;
  bool inexact = false;
  uint64_t q = RoundShift(m, static_cast<int>(lsb - exp2), sticky, inexact);
  int64_t lsb_final = lsb;
  if (msb >= -1022 && q == (uint64_t{1} << 53)) {
    q >>= 1;
    ++lsb_final;
  }
  if (lsb_final + 52 > 1023) {
    return Make(begin, p, FromBits(sign_bit | kExpBits), ParseStatus::out_of_range);
  }
  // Normal: q in [2^52, 2^53) and the biased exponent is lsb + 1075; the sum
  // below also turns a subnormal that rounded up to 2^52 into DBL_MIN.
  const uint64_t bits = (static_cast<uint64_t>(lsb_final + 1074) << 52) + q;
  bool tiny = msb < -1022;
  if (tiny && msb == -1023) {
    // Tininess is detected after rounding: rounding to 53 bits with an
    // unbounded exponent reaching 2^-1022 means not tiny.
    bool unused = false;
    if (RoundShift(m, top - 52, sticky, unused) == (uint64_t{1} << 53)) tiny = false;
  }
  return Make(begin, p, FromBits(sign_bit | bits),
              tiny && inexact ? ParseStatus::out_of_range : ParseStatus::ok);
}

ParseResult ParseWord(const char* begin, const char* s, const char* end, bool neg) noexcept {
  auto matches = [&](const char* word, std::size_t n) {
    if (static_cast<std::size_t>(end - s) < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (Lower(s[i]) != word[i]) return false;
    }
    return true;
  };
  const uint64_t sign_bit = neg ? kSignBit : 0;
  if (matches("inf", 3)) {
    const char* stop = s + 3;
    if (matches("infinity", 8)) stop = s + 8;
    return Make(begin, stop, FromBits(sign_bit | kExpBits), ParseStatus::ok);
  }
  if (matches("nan", 3)) {
    const char* stop = s + 3;
    uint64_t bits = kQuietNan;
    if (stop < end && *stop == '(') {
      const char* q = stop + 1;
      while (q < end && (IsDigit(*q) || (Lower(*q) >= 'a' && Lower(*q) <= 'z') || *q == '_')) ++q;
      if (q < end && *q == ')') {
        uint64_t payload = 0;
        if (ReadNanPayload(stop + 1, q, payload)) bits |= payload & (kFracBits >> 1);
        stop = q + 1;
      }
    }
    return Make(begin, stop, FromBits(sign_bit | bits), ParseStatus::ok);
  }
  return ParseResult{};
}

// The range error and the value strtod returns, for a decimal text whose
// correctly rounded magnitude `r` came from std::from_chars.
ParseResult FinishDecimal(const char* begin, const char* stop, double r, bool from_chars_range,
                          const char* ib, const char* ie, const char* fb, const char* fe,
                          int64_t exp, bool neg) noexcept {
  Digits in;
  const bool nonzero = CollectDigits(ib, ie, fb, fe, exp, in);
  ParseStatus st = ParseStatus::ok;
  if (from_chars_range) {
    r = in.point > 0 ? FromBits(kExpBits) : 0.0;
    st = ParseStatus::out_of_range;
  } else if (ToBits(r) == kExpBits) {
    st = ParseStatus::out_of_range;
  } else if (r == 0.0) {
    if (nonzero) st = ParseStatus::out_of_range;
  } else if (ToBits(r) < kDblMinBits) {
    Digits exact;
    ExactDigits(ToBits(r), -1074, exact);
    if (CompareDigits(in, exact) != 0) st = ParseStatus::out_of_range;
  } else if (ToBits(r) == kDblMinBits) {
    // Below (2^54 - 1) * 2^-1076, rounding to 53 bits stays under DBL_MIN.
    Digits limit;
    ExactDigits((uint64_t{1} << 54) - 1, -1076, limit);
    if (CompareDigits(in, limit) < 0) st = ParseStatus::out_of_range;
  }
  return Make(begin, stop, neg ? -r : r, st);
}

// ---------------------------------------------------------------------------
// Formatting helpers

inline int DecimalLength(uint64_t v) noexcept {
  int n = 1;
  while (v >= 10000) {
    v /= 10000;
    n += 4;
  }
  return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// Digits of v written straight into place, two at a time from the right.
inline char* WriteU64(char* out, uint64_t v) noexcept {
  char* const end = out + DecimalLength(v);
  char* p = end;
  while (v >= 100) {
    const auto i = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    *--p = kDigitPairs[i + 1];
    *--p = kDigitPairs[i];
  }
  if (v >= 10) {
    const auto i = static_cast<std::size_t>(v) * 2;
    *--p = kDigitPairs[i + 1];
    *--p = kDigitPairs[i];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return end;
}

// Exactly `n` digits of v, leading zeros kept.
inline void WriteFixedDigits(char* out, uint64_t v, int n) noexcept {
  int i = n;
  while (i >= 2) {
    const auto k = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    out[--i] = kDigitPairs[k + 1];
    out[--i] = kDigitPairs[k];
  }
  if (i == 1) out[0] = static_cast<char>('0' + v % 10);
}

// inf/nan as glibc prints them. Returns nullptr for finite values.
char* WriteSpecial(char* out, uint64_t bits) noexcept {
  if ((bits & kExpBits) != kExpBits) return nullptr;
  if ((bits & kSignBit) != 0) *out++ = '-';
  const char* word = (bits & kFracBits) != 0 ? "nan" : "inf";
  std::memcpy(out, word, 3);
  return out + 3;
}

// round_half_even(m * 2^e2 * 10^k) when everything fits in 128 bits.
bool ScaleRound(uint64_t m, int e2, int k, uint64_t& q) noexcept {
  if (k >= 0) {
    if (k > 22 || e2 >= 0 || e2 < -127) return false;
    U128 p10 = kPow10U64[k > 19 ? 19 : k];
    if (k > 19) p10 *= kPow10U64[k - 19];
    const U128 prod = static_cast<U128>(m) * p10;  // < 2^53 * 2^74
    const int s = -e2;
    const U128 hi = prod >> s;
    if ((hi >> 64) != 0) return false;
    const U128 rem = prod & ((static_cast<U128>(1) << s) - 1);
    const U128 half = static_cast<U128>(1) << (s - 1);
    q = static_cast<uint64_t>(hi);
    if (rem > half || (rem == half && (q & 1) != 0)) ++q;
    return true;
  }
  if (-k > 19) return false;
  uint64_t num = m;
  uint64_t den = kPow10U64[-k];
  if (e2 >= 0) {
    if (e2 > 10) return false;
    num <<= e2;
  } else {
    if (-e2 > 63 || (den >> (63 + e2)) != 0) return false;
    den <<= -e2;
  }
  q = num / den;
  const uint64_t rem = num % den;
  if (rem > den - rem || (rem == den - rem && (q & 1) != 0)) ++q;
  return true;
}

// 15 significant digits of m * 2^e2 (m != 0) rounded half to even, as an
// integer in [10^14, 10^15), and the decimal exponent of the first digit.
void Round15(uint64_t m, int e2, uint64_t& q, int& x) noexcept {
  constexpr uint64_t kLow = 100000000000000ULL;
  constexpr uint64_t kHigh = 1000000000000000ULL;
  x = static_cast<int>(FloorLog10Pow2(BitLength(m) - 1 + e2));
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!ScaleRound(m, e2, 14 - x, q)) break;
    if (q >= kHigh) {
      ++x;  // estimate one low, or rounding carried into a new digit
    } else if (q < kLow) {
      --x;
    } else {
      return;
    }
  }
  Digits d;
  ExactDigits(m, e2, d);
  q = 0;
  for (int i = 0; i < 15; ++i) q = q * 10 + (i < d.len ? DigitValue(d.d[i]) : 0u);
  x = static_cast<int>(d.point - 1);
  if (d.len > 15) {
    const unsigned next = DigitValue(d.d[15]);
    const bool up = next > 5 || (next == 5 && (d.len > 16 || (q & 1) != 0));
    if (up && ++q == kHigh) {
      q = kLow;
      ++x;
    }
  }
}

}  // namespace

ParseResult ParseDoubleGeneral(std::string_view text) noexcept {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* s = begin;
  while (s < end && IsCSpace(*s)) ++s;
  bool neg = false;
  if (s < end && (*s == '+' || *s == '-')) {
    neg = *s == '-';
    ++s;
  }
  if (s == end) return ParseResult{};
  if (!IsDigit(*s) && *s != '.') return ParseWord(begin, s, end, neg);
  if (*s == '0' && s + 1 < end && (s[1] == 'x' || s[1] == 'X')) return ParseHex(begin, s, end, neg);

  // Decimal: scan the syntax once, gathering up to 19 digits for the exact
  // fast path (mantissa <= 2^53, power of ten <= 22: one correctly rounded
  // IEEE operation).
  const char* p = s;
  uint64_t mant = 0;
  int taken = 0;
  // Digits past the 19th only need skipping (long inputs go to from_chars).
  auto read_digits = [&]() {
    for (; taken < 19 && p < end && IsDigit(*p); ++p, ++taken) mant = mant * 10 + DigitValue(*p);
    while (p < end && IsDigit(*p)) ++p;
  };
  const char* const ib = p;
  read_digits();
  const char* const ie = p;
  const char* fb = p;
  const char* fe = p;
  if (p < end && *p == '.') {
    fb = ++p;
    read_digits();
    fe = p;
  }
  const int64_t ndigits = (ie - ib) + (fe - fb);
  if (ndigits == 0) return ParseResult{};
  int64_t exp = 0;
  if (p < end && (*p == 'e' || *p == 'E')) p = ReadExponent(p, end, exp);

  const int64_t exp10 = exp - (fe - fb);
  if (ndigits <= 19 && mant <= (uint64_t{1} << 53) && exp10 >= -22 && exp10 <= 22) {
    double v = static_cast<double>(mant);
    v = exp10 < 0 ? v / kPow10Double[-exp10] : v * kPow10Double[exp10];
    return Make(begin, p, neg ? -v : v, ParseStatus::ok);
  }

  double r = 0.0;
  const auto res = std::from_chars(s, p, r, std::chars_format::general);
  if (res.ptr != p) return ParseResult{};  // cannot happen: the syntax was checked above
  const bool range = res.ec == std::errc::result_out_of_range;
  if (!range && ToBits(r) > kDblMinBits && ToBits(r) != kExpBits) {
    return Make(begin, p, neg ? -r : r, ParseStatus::ok);
  }
  return FinishDecimal(begin, p, r, range, ib, ie, fb, fe, exp, neg);
}

double Stod(std::string_view text) {
  const ParseResult r = ParseDouble(text);
  if (r.status == ParseStatus::invalid) throw std::invalid_argument("invalid stod argument");
  if (r.status == ParseStatus::out_of_range) throw std::out_of_range("stod argument out of range");
  return r.value;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "digits are stored a word at a time");

// Two digits of v < 100 as the low 16 bits, the first digit lowest.
inline uint32_t DigitPair(uint32_t v) noexcept {
  uint16_t pair;
  std::memcpy(&pair, kDigitPairs + 2 * v, 2);
  return pair;
}

// "%f" for |value| < 2^32, the range of nearly every mesh coordinate: the
// product value * 10^6 and its exact rounding error (Dekker's product; 10^6
// needs only 20 bits, so its low half is zero) decide the rounding exactly.
// Returns nullptr when the value is outside that range. Whether to round up
// depends on the last bits, which are random, so it is not a branch; nor is
// the sign.
char* FormatFixed6Small(char* out, double value) noexcept {
  const double a = std::fabs(value);
  if (!(a < 4294967296.0)) return nullptr;
  const double r = a * 1e6;
  const double split = a * 134217729.0;  // 2^27 + 1
  const double hi = split - (split - a);
  const double lo = a - hi;
  const double err = (hi * 1e6 - r) + lo * 1e6;
  auto n = static_cast<uint64_t>(r);            // r < 2^52: truncation is floor
  const double d = r - static_cast<double>(n);  // exact
  n += static_cast<uint64_t>((d > 0.5) | ((d == 0.5) & ((err > 0) | ((err == 0) & (n & 1)))));
  *out = '-';
  out += std::signbit(value);
  const uint64_t ip = n / 1000000;
  const auto f = static_cast<uint32_t>(n - ip * 1000000);
  if (ip < 10000) {
    // Four digits in one store, the leading zeros shifted out.
    const auto i = static_cast<uint32_t>(ip);
    const int len = 1 + (i >= 10) + (i >= 100) + (i >= 1000);
    const uint32_t four = (DigitPair(i / 100) | DigitPair(i % 100) << 16) >> (8 * (4 - len));
    std::memcpy(out, &four, 4);
    out += len;
  } else {
    out = WriteU64(out, ip);
  }
  // The point and six digits in one eight-byte store; the byte after them is
  // scratch (the buffer holds kMaxFixedChars).
  const uint32_t low = f % 10000;
  const uint64_t eight = '.' | uint64_t{DigitPair(f / 10000)} << 8 |
                         uint64_t{DigitPair(low / 100)} << 24 |
                         uint64_t{DigitPair(low % 100)} << 40;
  std::memcpy(out, &eight, 8);
  return out + 7;
}

char* FormatFixed6(char* out, double value) noexcept {
  if (char* small = FormatFixed6Small(out, value)) return small;
  const uint64_t bits = ToBits(value);
  if (char* special = WriteSpecial(out, bits)) return special;
  if ((bits & kSignBit) != 0) *out++ = '-';
  const int bexp = static_cast<int>((bits & kExpBits) >> 52);
  const uint64_t m = bexp == 0 ? (bits & kFracBits) : ((bits & kFracBits) | (uint64_t{1} << 52));
  const int e2 = bexp == 0 ? -1074 : bexp - 1075;

  uint64_t ip = 0;
  uint64_t frac6 = 0;
  if (e2 >= 0) {
    if (e2 <= 11) {
      ip = m << e2;
    } else {
      // Beyond 2^64: every integer digit, exactly.
      Digits d;
      ExactDigits(m, e2, d);
      std::memcpy(out, d.d, static_cast<std::size_t>(d.len));
      out += d.len;
      for (int64_t i = d.len; i < d.point; ++i) *out++ = '0';
      std::memcpy(out, ".000000", 7);
      return out + 7;
    }
  } else if (e2 > -75) {
    // Below 2^-74 the value times 10^6 is under 2^-21 and rounds to zero.
    const int s = -e2;
    ip = s >= 64 ? 0 : m >> s;
    const uint64_t f = s >= 64 ? m : m & ((uint64_t{1} << s) - 1);
    const U128 prod = static_cast<U128>(f) * 1000000u;
    frac6 = static_cast<uint64_t>(prod >> s);
    const U128 rem = prod & ((static_cast<U128>(1) << s) - 1);
    const U128 half = static_cast<U128>(1) << (s - 1);
    if (rem > half || (rem == half && (frac6 & 1) != 0)) {
      if (++frac6 == 1000000) {
        frac6 = 0;
        ++ip;
      }
    }
  }
  out = WriteU64(out, ip);
  *out = '.';
  WriteFixedDigits(out + 1, frac6, 6);
  return out + 7;
}

char* FormatGeneral15(char* out, double value) noexcept {
  const uint64_t bits = ToBits(value);
  if (char* special = WriteSpecial(out, bits)) return special;
  if ((bits & kSignBit) != 0) *out++ = '-';
  if ((bits & ~kSignBit) == 0) {
    *out = '0';
    return out + 1;
  }
  const int bexp = static_cast<int>((bits & kExpBits) >> 52);
  const uint64_t m = bexp == 0 ? (bits & kFracBits) : ((bits & kFracBits) | (uint64_t{1} << 52));
  const int e2 = bexp == 0 ? -1074 : bexp - 1075;
  uint64_t q = 0;
  int x = 0;
  Round15(m, e2, q, x);

  char digits[15];
  WriteFixedDigits(digits, q, 15);
  int n = 15;
  while (n > 1 && digits[n - 1] == '0') --n;  // %g drops trailing zeros

  if (x < -4 || x >= 15) {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, static_cast<std::size_t>(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = x < 0 ? '-' : '+';
    const unsigned ax = static_cast<unsigned>(x < 0 ? -x : x);
    if (ax < 10) *out++ = '0';
    return WriteU64(out, ax);
  }
  if (x >= 0) {
    const int int_digits = x + 1;
    std::memcpy(out, digits, static_cast<std::size_t>(int_digits));
    out += int_digits;
    if (n > int_digits) {
      *out++ = '.';
      std::memcpy(out, digits + int_digits, static_cast<std::size_t>(n - int_digits));
      out += n - int_digits;
    }
    return out;
  }
  *out++ = '0';
  *out++ = '.';
  for (int i = -1; i > x; --i) *out++ = '0';
  std::memcpy(out, digits, static_cast<std::size_t>(n));
  return out + n;
}

std::string ToFixed6(double value) {
  char buf[kMaxFixedChars];
  return std::string(buf, FormatFixed6(buf, value));
}

std::string ToGeneral15(double value) {
  char buf[kMaxGeneralChars];
  return std::string(buf, FormatGeneral15(buf, value));
}

}  // namespace korvane::text
