// "Did you mean ...?" for mistyped subcommands, options and command names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace korvane::cli {

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`,
// letters compared without case.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The candidate closest to `word`, when it is close enough to be what was
// meant (about one edit in three letters); the first of equally close ones.
std::optional<std::string> Suggest(std::string_view word,
                                   const std::vector<std::string>& candidates);

// "; did you mean 'X'?" when Suggest finds X, else nothing: the end of a usage error.
std::string DidYouMean(const std::string& word, const std::vector<std::string>& candidates);

// The long options of a (sub)command, as "--name".
std::vector<std::string> OptionNames(const CLI::App& command);

}  // namespace korvane::cli
