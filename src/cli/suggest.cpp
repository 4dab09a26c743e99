#include "cli/suggest.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

namespace korvane::cli {
namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::size_t EditDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the dynamic programme suffice.
  const std::size_t n = b.size();
  std::vector<std::size_t> before(n + 1), previous(n + 1), current(n + 1);
  for (std::size_t j = 0; j <= n; ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= n; ++j) {
      const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
      current[j] =
          std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[n];
}

std::optional<std::string> Suggest(std::string_view word,
                                   const std::vector<std::string>& candidates) {
  const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
  std::optional<std::string> best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& c : candidates) {
    const std::size_t d = EditDistance(word, c);
    if (d < best_distance) {
      best_distance = d;
      best = c;
    }
  }
  return best;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& candidates) {
  const std::optional<std::string> s = Suggest(word, candidates);
  return s ? "; did you mean '" + *s + "'?" : "";
}

std::vector<std::string> OptionNames(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : command.get_options()) {
    for (const std::string& n : opt->get_lnames()) names.push_back("--" + n);
  }
  return names;
}

}  // namespace korvane::cli
