// What a replay's warnings say to the user: the words for each kind, chosen
// here once for the command-line host and the C++ interface.
#pragma once

#include <string>

#include "obj/obj_stream.h"

namespace korvane::api {

// One sentence for `kind` of `counts`, after the "FILE line N: " that names
// where it first happened; `style` tells the digits written.
std::string DescribeReplayWarning(obj::ReplayWarningKind kind, const obj::ReplayCounts& counts,
                                  const obj::ReplayStyle& style);

// Calls f(kind, warning) for each kind that happened, in the order of the kinds.
template <class F>
void ForEachReplayWarning(const obj::ReplayCounts& counts, F&& f) {
  for (std::size_t k = 0; k < obj::kReplayWarningKinds; ++k) {
    if (counts.warnings[k].count > 0) f(static_cast<obj::ReplayWarningKind>(k), counts.warnings[k]);
  }
}

}  // namespace korvane::api
