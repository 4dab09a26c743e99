#include "api/replay_warnings.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "text/error.h"
#include "text/replay_words.h"

namespace korvane::api {
const ReplayHints kLibraryReplayHints{text::kHintTurnNormals, text::kHintShortestDigits};

text::Message ReplayWarningMessage(obj::ReplayWarningKind kind, const obj::ReplayCounts& counts,
                                   const obj::ReplayStyle& style, const ReplayHints& hints) {
  using namespace text;
  const obj::ReplayWarning& w = counts.warnings[static_cast<std::size_t>(kind)];
  const bool one = w.count == 1;
  Message m;
  m.Own(std::to_string(w.count));
  switch (kind) {
    case obj::ReplayWarningKind::not_a_vertex_line:
      return m.Say(one ? kLineStarts : kLinesStart).Say(kTabVertex);
    case obj::ReplayWarningKind::trailing_text:
      return m.Say(one ? kVertexLineHas : kVertexLinesHave).Say(kTrailingText);
    case obj::ReplayWarningKind::non_finite:
      return m.Say(one ? kVertexLineHas : kVertexLinesHave).Say(kNonFinite);
    case obj::ReplayWarningKind::carriage_return:
      return m.Say(one ? kLineHolds : kLinesHold).Say(kCarriageReturn);
    case obj::ReplayWarningKind::normals_not_turned:
      return m.Say(one ? kNormalWas : kNormalsWere).Say(kNormalsNotTurned).Say(hints.turnNormals);
    case obj::ReplayWarningKind::precision: {
      Message p;
      if (style.digits == 6) {
        p.Say(kSixDecimals);
      } else {
        p.Say(kDecimalsStart).Own(std::to_string(style.digits)).Say(kDecimals);
      }
      const double share = counts.size > 0.0 ? counts.largestRounding / counts.size : 0.0;
      return p.Say(kMoveVerticesUpTo)
          .Own(text::ThreeDigits(counts.largestRounding))
          .Say(kComma)
          .Own(text::ThreeDigits(share))
          .Say(kOfMeshSize)
          .Say(hints.shortestDigits);
    }
  }
  return m;
}

void RefuseFirstReplayWarning(const obj::ReplayCounts& counts, const obj::ReplayStyle& style,
                              const ReplayHints& hints, const std::string& file,
                              std::string_view tail) {
  std::uint64_t line = 0;
  std::optional<text::Message> words;
  ForEachReplayWarning(counts, [&](obj::ReplayWarningKind k, const obj::ReplayWarning& w) {
    if (!words || w.line < line) {
      line = w.line;
      words = ReplayWarningMessage(k, counts, style, hints);
    }
  });
  if (!words) return;
  throw Error(Error::Kind::refused, text::AtLine(file, line).Append(*words).Own(tail), file, line);
}

}  // namespace korvane::api
