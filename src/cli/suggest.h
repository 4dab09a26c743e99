// "Did you mean ...?" for mistyped subcommands, options and command names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::cli {

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`,
// letters compared without case.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The candidate closest to `word`, when it is close enough to be what was
// meant (about one edit in three letters); the first of equally close ones.
std::optional<std::string> Suggest(std::string_view word,
                                   const std::vector<std::string>& candidates);

}  // namespace korvane::cli
