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
#include "strtod_oracle.h"
#include "text/numbers.h"

namespace {

using korvane::fuzz::Bits;
using korvane::fuzz::Show;
using korvane::fuzz::ShowDouble;
namespace text = korvane::text;

using korvane::testing::Oracle;
using korvane::testing::Reference;

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
