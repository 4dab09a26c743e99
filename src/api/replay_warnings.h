// What a replay's warnings say to the user: each kind worded once, in the
// user's language, for every host.
#pragma once

#include <string>
#include <string_view>

#include "obj/obj_stream.h"
#include "text/message.h"

namespace korvane::api {

// What to try, worded by each host: the command line names its flags.
struct ReplayHints {
  text::Phrase turnNormals;     // normals copied unturned: " (...)"
  text::Phrase shortestDigits;  // the digits moved vertices: ": ..." ending the sentence
};
// The library's own: options in words (C++, Python).
extern const ReplayHints kLibraryReplayHints;

// One sentence for `kind` of `counts`, after the "FILE line N: " that names
// where it first happened; `style` tells the digits written.
text::Message ReplayWarningMessage(obj::ReplayWarningKind kind, const obj::ReplayCounts& counts,
                                   const obj::ReplayStyle& style, const ReplayHints& hints);

// Calls f(kind, warning) for each kind that happened, in the order of the kinds.
template <class F>
void ForEachReplayWarning(const obj::ReplayCounts& counts, F&& f) {
  for (std::size_t k = 0; k < obj::kReplayWarningKinds; ++k) {
    if (counts.warnings[k].count > 0) f(static_cast<obj::ReplayWarningKind>(k), counts.warnings[k]);
  }
}

// A strict replay: the warning first in `file` (the lowest line; on one line,
// the first kind), worded with `hints`, thrown as a refusal at its line and
// followed by `tail`. Returns when there is none.
void RefuseFirstReplayWarning(const obj::ReplayCounts& counts, const obj::ReplayStyle& style,
                              const ReplayHints& hints, const std::string& file,
                              std::string_view tail);

}  // namespace korvane::api
