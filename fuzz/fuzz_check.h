// Shared by the harnesses: a failed property prints what was expected and
// aborts, which both libFuzzer and the replay runner report as a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace korvane::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Printable form of arbitrary bytes, shortened for long inputs.
inline std::string Show(std::string_view bytes, std::size_t limit = 200) {
  std::string out = "\"";
  const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  out += '"';
  if (shown < bytes.size()) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

inline std::uint64_t Bits(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

inline double FromBits(std::uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

// "%a (bits ...)" of a double, for failure reports.
inline std::string ShowDouble(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a (bits %016llx)", d, static_cast<unsigned long long>(Bits(d)));
  return buf;
}

inline std::string AsString(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace korvane::fuzz

// `detail` is only evaluated when the property fails.
#define FUZZ_CHECK(condition, detail)                                                \
  do {                                                                               \
    if (!(condition)) ::korvane::fuzz::Fail(__FILE__, __LINE__, #condition, detail); \
  } while (0)
