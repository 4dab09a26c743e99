// How the library's text files split into lines and tokens: lines end at a
// line feed (a carriage return before it is dropped), tokens are separated by
// the space character only (tabs and carriage returns are ordinary bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvane::text {

// Some editors put a UTF-8 byte-order mark before the first line; it is not
// part of that line.
inline constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// True when text beginning with `start` is UTF-16, which starts with the
// byte-order mark FF FE or FE FF.
inline bool StartsAsUtf16(std::string_view start) {
  return start.size() >= 2 && ((start[0] == '\xFF' && start[1] == '\xFE') ||
                               (start[0] == '\xFE' && start[1] == '\xFF'));
}

// Calls f(token) for every non-empty piece between space characters.
template <class F>
void ForEachToken(std::string_view line, F&& f) {
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p != end) {
    while (p != end && *p == ' ') ++p;
    if (p == end) break;
    const char* start = p;
    while (p != end && *p != ' ') ++p;
    f(std::string_view(start, static_cast<std::size_t>(p - start)));
  }
}

// Calls f(line, line_number) for every line of `text`; the text after the last
// line feed is a line too, even when empty.
template <class F>
void ForEachTextLine(std::string_view text, F&& f) {
  std::uint64_t number = 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line, ++number);
    if (lf == std::string_view::npos) return;
    pos = lf + 1;
  }
}

}  // namespace korvane::text
