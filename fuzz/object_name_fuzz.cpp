// ExtractObjectName against the two std::regex replacements it stands for.
// std::regex recurses once per character, so only short texts go through it;
// longer ones are checked for the properties any result must have.
#include <cstdint>
#include <regex>
#include <string>

#include "api/object_name.h"
#include "fuzz_check.h"

namespace {

using korvane::fuzz::Show;

constexpr std::size_t kRegexLimit = 200;

std::string ByRegex(const std::string& text) {
  static const std::regex directory("^.*[/\\\\]", std::regex::ECMAScript);
  static const std::regex suffix("__.+?$", std::regex::ECMAScript);
  return std::regex_replace(std::regex_replace(text, directory, ""), suffix, "");
}

// True when `name` is `text` with a prefix ending in a separator removed and
// then a suffix starting with "__" removed (either possibly not at all).
bool IsCutFrom(const std::string& text, const std::string& name) {
  for (std::size_t p = text.find(name); p != std::string::npos; p = text.find(name, p + 1)) {
    const std::size_t end = p + name.size();
    const bool prefix_ok = p == 0 || text[p - 1] == '/' || text[p - 1] == '\\';
    const bool suffix_ok = end == text.size() || text.compare(end, 2, "__") == 0;
    if (prefix_ok && suffix_ok) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = korvane::fuzz::AsString(data, size);
  const std::string got = korvane::api::ExtractObjectName(input);
  if (input.size() <= kRegexLimit) {
    const std::string want = ByRegex(input);
    FUZZ_CHECK(got == want, Show(input) + "\n  regex " + Show(want) + "\n  got   " + Show(got));
  }
  // Both steps only cut a prefix and then a suffix, and applying them again
  // finds nothing more to cut.
  FUZZ_CHECK(IsCutFrom(input, got), Show(input) + " gave " + Show(got));
  const std::string twice = korvane::api::ExtractObjectName(got);
  FUZZ_CHECK(twice == got, Show(input) + " gave " + Show(got) + ", then " + Show(twice));
  return 0;
}
