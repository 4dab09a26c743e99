// FormatFixed6 and FormatGeneral15 against glibc's printf "%f" and "%.15g"
// on any bit pattern: each 8 bytes of the input are one double (the first
// one zero-padded when the input is shorter).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "text/numbers.h"

namespace {

using korvane::fuzz::Show;
using korvane::fuzz::ShowDouble;
namespace text = korvane::text;

void Check(double v) {
  char want_f[400];
  char want_g[64];
  std::snprintf(want_f, sizeof want_f, "%f", v);
  std::snprintf(want_g, sizeof want_g, "%.15g", v);

  // One spare byte past each documented limit, to see it is never touched.
  char got_f[text::kMaxFixedChars + 1];
  char got_g[text::kMaxGeneralChars + 1];
  got_f[text::kMaxFixedChars] = '\x7f';
  got_g[text::kMaxGeneralChars] = '\x7f';
  char* const end_f = text::FormatFixed6(got_f, v);
  char* const end_g = text::FormatGeneral15(got_g, v);
  FUZZ_CHECK(end_f >= got_f && end_f <= got_f + text::kMaxFixedChars &&
                 got_f[text::kMaxFixedChars] == '\x7f',
             ShowDouble(v) + ": FormatFixed6 overran its buffer");
  FUZZ_CHECK(end_g >= got_g && end_g <= got_g + text::kMaxGeneralChars &&
                 got_g[text::kMaxGeneralChars] == '\x7f',
             ShowDouble(v) + ": FormatGeneral15 overran its buffer");
  const std::string f(got_f, end_f);
  const std::string g(got_g, end_g);
  FUZZ_CHECK(f == want_f,
             ShowDouble(v) + " %f\n  want " + Show(want_f, 400) + "\n  got  " + Show(f, 400));
  FUZZ_CHECK(g == want_g, ShowDouble(v) + " %.15g\n  want " + Show(want_g) + "\n  got  " + Show(g));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) {
    std::uint64_t b = 0;
    if (size > 0) std::memcpy(&b, data, size);
    Check(korvane::fuzz::FromBits(b));
    return 0;
  }
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    std::uint64_t b;
    std::memcpy(&b, data + at, sizeof b);
    Check(korvane::fuzz::FromBits(b));
  }
  return 0;
}
