// ObjRecord on one arbitrary line: splitting and re-joining, reading the
// coordinates of a "v" record, and rewriting them as "%f" texts.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "line_model/obj_record.h"
#include "text/error.h"
#include "text/messages.h"
#include "text/numbers.h"

namespace {

using korvane::obj::ObjRecord;
using korvane::geometry::Vector3;
using korvane::fuzz::Bits;
using korvane::fuzz::Show;
using korvane::fuzz::ShowDouble;
namespace text = korvane::text;

std::string WithoutSpaces(std::string_view s) {
  std::string out;
  for (const char c : s) {
    if (c != ' ') out += c;
  }
  return out;
}

std::string Printf6(double v) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%f", v);
  return buf;
}

void CheckShape(const ObjRecord& r, const std::string& line) {
  const std::string s = r.ToString();
  const auto& tokens = r.tokens();
  FUZZ_CHECK(r.line() == line, Show(line));
  FUZZ_CHECK(s.find("  ") == std::string::npos, Show(line) + " gave " + Show(s));
  FUZZ_CHECK(s.empty() || s.front() != ' ', Show(line) + " gave " + Show(s));
  FUZZ_CHECK(tokens.empty() == s.empty(), Show(line) + " gave " + Show(s));
  FUZZ_CHECK(tokens.empty() || s.back() == ' ', Show(line) + " gave " + Show(s));
  // Splitting only removes and merges spaces: every other byte stays, in order.
  FUZZ_CHECK(WithoutSpaces(s) == WithoutSpaces(line), Show(line) + " gave " + Show(s));
  const auto spaces = static_cast<std::size_t>(std::count(s.begin(), s.end(), ' '));
  FUZZ_CHECK(spaces == tokens.size(), Show(line) + " gave " + Show(s));
  for (const std::string& t : tokens) {
    FUZZ_CHECK(!t.empty() && t.find(' ') == std::string::npos, Show(line) + " token " + Show(t));
  }
  if (tokens.empty()) {
    FUZZ_CHECK(r.keyword().empty() && !r.IsVertex(), Show(line));
  } else {
    const std::string want = tokens[0][0] == '#' ? std::string("#") : tokens[0];
    FUZZ_CHECK(r.keyword() == want, Show(line) + " keyword " + Show(r.keyword()));
    FUZZ_CHECK(r.IsVertex() == (tokens[0] == "v"), Show(line));
  }
  // Re-reading the joined text gives the same record.
  const ObjRecord again(s);
  FUZZ_CHECK(again.tokens() == tokens && again.ToString() == s, Show(line) + " gave " + Show(s));
}

// The message of an error as the bytes it holds.
std::string Bytes(const korvane::Error& e) {
  std::string out;
  for (const auto& piece : e.message().pieces()) out += piece.bytes;
  return out;
}

// GetVertex must agree with ParseDouble on tokens 1 to 3, in order, with a
// missing coordinate counting as an invalid number.
void CheckGetVertex(const ObjRecord& r, const std::string& line, Vector3& parsed, bool& ok) {
  ok = false;
  if (!r.IsVertex()) {
    try {
      r.GetVertex();
      FUZZ_CHECK(false, "GetVertex did not throw on " + Show(line));
    } catch (const korvane::Error& e) {
      FUZZ_CHECK(e.kind() == korvane::Error::Kind::misuse &&
                     Bytes(e) == korvane::text::kGetVertexMisuse,
                 Show(line));
    }
    return;
  }
  const auto& tokens = r.tokens();
  text::ParseStatus want = text::ParseStatus::ok;
  double values[3] = {0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < 3; ++i) {
    if (i + 1 >= tokens.size()) {
      want = text::ParseStatus::invalid;
      break;
    }
    const text::ParseResult p = text::ParseDouble(tokens[i + 1]);
    if (p.status != text::ParseStatus::ok) {
      want = p.status;
      break;
    }
    values[i] = p.value;
  }
  try {
    parsed = r.GetVertex();
    FUZZ_CHECK(want == text::ParseStatus::ok, "GetVertex did not throw on " + Show(line));
    for (int k = 0; k < 3; ++k) {
      FUZZ_CHECK(Bits(parsed[k]) == Bits(values[k]),
                 Show(line) + " coordinate " + std::to_string(k) + ": got " +
                     ShowDouble(parsed[k]) + ", ParseDouble " + ShowDouble(values[k]));
    }
    ok = true;
  } catch (const korvane::Error& e) {
    if (e.kind() == korvane::Error::Kind::invalid_number) {
      FUZZ_CHECK(want == text::ParseStatus::invalid, "unexpected invalid number on " + Show(line));
      FUZZ_CHECK(Bytes(e) == "invalid stod argument", Bytes(e));
    } else {
      FUZZ_CHECK(e.kind() == korvane::Error::Kind::number_out_of_range &&
                     want == text::ParseStatus::out_of_range,
                 "unexpected out of range on " + Show(line));
      FUZZ_CHECK(Bytes(e) == "stod argument out of range", Bytes(e));
    }
  }
}

void CheckSetVertex(const ObjRecord& r, const std::string& line, const Vector3& v) {
  ObjRecord copy = r;
  if (!r.IsVertex()) {
    try {
      copy.SetVertex(v);
      FUZZ_CHECK(false, "SetVertex did not throw on " + Show(line));
    } catch (const korvane::Error& e) {
      FUZZ_CHECK(e.kind() == korvane::Error::Kind::misuse &&
                     Bytes(e) == korvane::text::kSetVertexMisuse,
                 Show(line));
    }
    FUZZ_CHECK(copy.ToString() == r.ToString(), "failed SetVertex changed " + Show(line));
    return;
  }
  copy.SetVertex(v);
  std::string want = "v " + Printf6(v.x()) + " " + Printf6(v.y()) + " " + Printf6(v.z()) + " ";
  for (std::size_t k = 4; k < r.tokens().size(); ++k) want += r.tokens()[k] + " ";
  const std::string got = copy.ToString();
  FUZZ_CHECK(got == want, Show(line) + " set to " + ShowDouble(v.x()) + ", " + ShowDouble(v.y()) +
                              ", " + ShowDouble(v.z()) + "\n  want " + Show(want) + "\n  got  " +
                              Show(got));

  // The written line reads back as the same point to within the six decimals.
  const Vector3 back = ObjRecord(got).GetVertex();
  for (int k = 0; k < 3; ++k) {
    const double a = v[k];
    const double b = back[k];
    const bool same = std::isnan(a)   ? std::isnan(b) && std::signbit(a) == std::signbit(b)
                      : std::isinf(a) ? Bits(a) == Bits(b)
                                      : std::fabs(b - a) <= 5e-7 + std::fabs(a) * 0x1p-52;
    FUZZ_CHECK(same, Show(got) + ": wrote " + ShowDouble(a) + ", read " + ShowDouble(b));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line = korvane::fuzz::AsString(data, size);
  const ObjRecord record(line);
  CheckShape(record, line);

  Vector3 parsed(0.0, 0.0, 0.0);
  bool ok = false;
  CheckGetVertex(record, line, parsed, ok);
  if (ok) CheckSetVertex(record, line, parsed);

  // Any bit pattern, NaN payloads and infinities included, from the last bytes.
  unsigned char raw[24] = {};
  const std::size_t n = size < sizeof raw ? size : sizeof raw;
  if (n > 0) std::memcpy(raw, data + (size - n), n);
  double d[3];
  std::memcpy(d, raw, sizeof d);
  CheckSetVertex(record, line, Vector3(d[0], d[1], d[2]));
  return 0;
}
