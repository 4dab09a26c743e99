// The library's own message texts, stored as code page 932 bytes (the UTF-8
// form is in the comment above each).
#pragma once

namespace korvane::text {

// The byte strings are laid out by hand, pieces cut where a hex escape would
// swallow the next character: the formatter keeps off.
// clang-format off

// "ファイルオープン失敗"
inline constexpr char kFileOpenFailed[] = "\x83t\x83@\x83" "C\x83\x8b\x83I\x81[\x83v\x83\x93\x8e\xb8\x94s";
// "active.matrix オープン失敗"
inline constexpr char kActiveMatrixOpenFailed[] = "active.matrix \x83I\x81[\x83v\x83\x93\x8e\xb8\x94s";
// "ObjRecord::GetVertex() は v レコード以外では使用できません"
inline constexpr char kGetVertexMisuse[] = "ObjRecord::GetVertex() \x82\xcd v \x83\x8c\x83R\x81[\x83h\x88\xc8\x8aO\x82\xc5\x82\xcd\x8eg\x97p\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// "ObjRecord::SetVertex() は v レコード以外では使用できません"
inline constexpr char kSetVertexMisuse[] = "ObjRecord::SetVertex() \x82\xcd v \x83\x8c\x83R\x81[\x83h\x88\xc8\x8aO\x82\xc5\x82\xcd\x8eg\x97p\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// "CalcFarthestPoint() が呼ばれていないオブジェクトに対して AnalyzeAffineMatrix が呼ばれました"
inline constexpr char kNotAnalysed[] = "CalcFarthestPoint() \x82\xaa\x8c\xc4\x82\xce\x82\xea\x82\xc4\x82\xa2\x82\xc8\x82\xa2\x83I\x83u\x83W\x83" "F\x83N\x83g\x82\xc9\x91\xce\x82\xb5\x82\xc4 AnalyzeAffineMatrix \x82\xaa\x8c\xc4\x82\xce\x82\xea\x82\xdc\x82\xb5\x82\xbd";

inline constexpr char kInvalidStod[] = "invalid stod argument";
inline constexpr char kStodOutOfRange[] = "stod argument out of range";

// clang-format on

}  // namespace korvane::text
