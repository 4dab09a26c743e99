// What to try next, in the command line's own terms: its flags. The library's
// verdict and replay warnings leave these slots to each host (matrix/verdict.h,
// api/replay_warnings.h). English and
// Japanese (code page 932 bytes); regenerate with scripts/phrase.py.
#pragma once

#include "api/replay_warnings.h"
#include "matrix/verdict.h"
#include "text/message.h"

namespace korvane::cli {

// clang-format off

// " --fit icp を試してください。"
inline constexpr text::Phrase kFlagTryIcp{
    " Try --fit icp.",
    " --fit icp \x82\xf0\x8e\x8e\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};
// "。--max-iterations を大きくしてください。"
inline constexpr text::Phrase kFlagMoreIterations{
    ": try a larger --max-iterations.",
    "\x81" "B--max-iterations \x82\xf0\x91\xe5\x82\xab\x82\xad\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};
// " 頂点の順序がそろっていれば（--fit least-squares）見分けられます。"
inline constexpr text::Phrase kFlagPairsTellApart{
    " Matching vertex order (--fit least-squares) would tell them apart.",
    " \x92\xb8\x93_\x82\xcc\x8f\x87\x8f\x98\x82\xaa\x82\xbb\x82\xeb\x82\xc1\x82\xc4\x82\xa2\x82\xea\x82\xce\x81i--fit least-squares\x81j\x8c\xa9\x95\xaa\x82\xaf\x82\xe7\x82\xea\x82\xdc\x82\xb7\x81" "B"};
// "（--trim "
inline constexpr text::Phrase kFlagTrimOpen{
    " (--trim ",
    "\x81i--trim "};
// "（--normals を指定してください）"
inline constexpr text::Phrase kFlagTurnNormals{
    " (pass --normals)",
    "\x81i--normals \x82\xf0\x8ew\x92\xe8\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81j"};
// "。すべての頂点を正確に書くには --digits shortest を指定してください"
inline constexpr text::Phrase kFlagShortestDigits{
    ": pass --digits shortest to write every vertex exactly",
    "\x81" "B\x82\xb7\x82\xd7\x82\xc4\x82\xcc\x92\xb8\x93_\x82\xf0\x90\xb3\x8am\x82\xc9\x8f\x91\x82\xad\x82\xc9\x82\xcd --digits shortest \x82\xf0\x8ew\x92\xe8\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"};
// "。--motion similarity で測ってください。"
inline constexpr text::Phrase kFlagTrySimilarity{
    "; measure with --motion similarity.",
    "\x81" "B--motion similarity \x82\xc5\x91\xaa\x82\xc1\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};

// "。--motion affine で測ってください。"
inline constexpr text::Phrase kFlagTryAffine{
    "; measure with --motion affine.",
    "\x81" "B--motion affine \x82\xc5\x91\xaa\x82\xc1\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};

// " --tolerance auto を試してください。"
inline constexpr text::Phrase kFlagToleranceAuto{
    " Try --tolerance auto.",
    " --tolerance auto \x82\xf0\x8e\x8e\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};
// " --trim auto を試してください。"
inline constexpr text::Phrase kFlagTrimAuto{
    " Try --trim auto.",
    " --trim auto \x82\xf0\x8e\x8e\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"};

// clang-format on

inline constexpr api::ReplayHints kFlagReplayHints{kFlagTurnNormals, kFlagShortestDigits};
inline constexpr matrix::Hints kFlagHints{
    kFlagTryIcp,        kFlagMoreIterations, kFlagPairsTellApart, kFlagTrimOpen,
    kFlagTrySimilarity, kFlagTryAffine,      kFlagToleranceAuto,  kFlagTrimAuto};

}  // namespace korvane::cli
