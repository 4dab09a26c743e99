// How the library's text files split into lines and tokens: lines end at a
// line feed (a carriage return before it is dropped), tokens are separated by
// the space character only (tabs and carriage returns are ordinary bytes).
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane::text {

// Some editors put a UTF-8 byte-order mark before the first line; it is not
// part of that line.
inline constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// True when text beginning with `start` is UTF-16, which starts with the
// byte-order mark FF FE or FE FF.
inline bool StartsAsUtf16(std::string_view start) {
  return start.size() >= 2 &&
         ((start[0] == '\xFF' && start[1] == '\xFE') || (start[0] == '\xFE' && start[1] == '\xFF'));
}

// Whether two spaces stand side by side in a line.
enum class Spacing { unknown, single, paired };

// The first line feed in [p, end), or `end` when there is none, and the
// spacing of the bytes before it. One pass finds both, so that most lines of a
// mesh, already in normal form, need not be read a second time.
inline const char* FindLineEnd(const char* p, const char* end, Spacing& spacing) noexcept {
  bool previous_space = false;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i line_feed = _mm_set1_epi8('\n');
  unsigned carry = 0;  // the byte before the sixteen was a space
  for (; end - p >= 16; p += 16) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, space)));
    const auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, line_feed)));
    const unsigned pairs = spaces & ((spaces << 1) | carry);  // bit i: spaces at i - 1 and i
    if (feeds != 0) {
      spacing = (pairs & ((feeds & (0u - feeds)) - 1)) != 0 ? Spacing::paired : Spacing::single;
      return p + __builtin_ctz(feeds);
    }
    if (pairs != 0) {
      spacing = Spacing::paired;
      const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      return lf != nullptr ? static_cast<const char*>(lf) : end;
    }
    carry = spaces >> 15;
  }
  previous_space = carry != 0;
#endif
  for (; p != end; ++p) {
    if (*p == '\n') break;
    const bool is_space = *p == ' ';
    if (is_space && previous_space) {
      spacing = Spacing::paired;
      const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      return lf != nullptr ? static_cast<const char*>(lf) : end;
    }
    previous_space = is_space;
  }
  spacing = Spacing::single;
  return p;
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
