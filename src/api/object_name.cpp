#include "api/object_name.h"

namespace korvane::api {
namespace {

// ECMAScript's '.' matches anything but the two line terminators of a byte string.
bool IsLineTerminator(char c) { return c == '\n' || c == '\r'; }

}  // namespace

// Equivalent to two ECMAScript regex replacements, "^.*[/\\]" -> "" and then
// "__.+?$" -> "", written out by hand: std::regex recurses once per character
// and would overflow the host's stack on a long text.
std::string ExtractObjectName(const std::string& text) {
  // Step 1: the greedy ".*" stops at the first line terminator; the match
  // ends at the last separator before it.
  std::size_t limit = 0;
  while (limit < text.size() && !IsLineTerminator(text[limit])) ++limit;
  std::size_t start = 0;
  for (std::size_t i = limit; i > 0; --i) {
    if (text[i - 1] == '/' || text[i - 1] == '\\') {
      start = i;
      break;
    }
  }
  std::string name = text.substr(start);

  // Step 2: "__" followed by at least one character, none of them a line
  // terminator, through to the end; the first such position wins.
  std::size_t tail = 0;  // first index after the last line terminator
  for (std::size_t i = name.size(); i > 0; --i) {
    if (IsLineTerminator(name[i - 1])) {
      tail = i;
      break;
    }
  }
  const std::size_t from = tail >= 2 ? tail - 2 : 0;
  for (std::size_t i = from; i + 2 < name.size(); ++i) {
    if (name[i] == '_' && name[i + 1] == '_') {
      name.resize(i);
      break;
    }
  }
  return name;
}

}  // namespace korvane::api
