// Boxes in the user's language: with a Japanese Windows display language the
// messages the library adds are Japanese; fixed texts and names stay as they
// are. ctest runs this suite with LC_ALL=ja_JP.UTF-8, from which Wine takes
// a Japanese display language; anywhere else it is skipped.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace kvtest {
namespace {

TEST(JapaneseUi, AddedMessagesAreJapanese) {
  if (PRIMARYLANGID(GetUserDefaultUILanguage()) != LANG_JAPANESE) {
    GTEST_SKIP() << "the display language is not Japanese (run with LC_ALL=ja_JP.UTF-8)";
  }
  ScratchDir scratch;
  Call("SetWorkingDirectory", scratch.Path().c_str());
  WriteBytes(scratch / "target.obj", "v 1 2 3\nv 1 x 3\n");
  WriteBytes(scratch / "empty.matrix", "");
  WriteBytes(scratch / "m.matrix", "2 0 0 0\n0 2 0 0\n0 0 2 0\n0 0 0 1\n");

  const Watched empty = CallWatched("ApplyMatrix", (scratch / "empty.matrix").c_str(), 1.0);
  ASSERT_EQ(empty.windows.size(), 1u) << Describe(empty.windows);
  EXPECT_EQ(empty.windows[0].caption, L"ApplyMatrix");
  // "数値が一つもないため、行列ファイルではありません。行列ファイルを選んでください"
  // "。applied.obj は変更していません"
  EXPECT_EQ(empty.windows[0].text,
            Widen(scratch / "empty.matrix") +
                L": \u6570\u5024\u304C\u4E00\u3064\u3082\u306A\u3044\u305F\u3081\u3001\u884C\u5217"
                L"\u30D5\u30A1\u30A4\u30EB\u3067\u306F\u3042\u308A\u307E\u305B\u3093\u3002\u884C"
                L"\u5217\u30D5\u30A1\u30A4\u30EB\u3092\u9078\u3093\u3067\u304F\u3060\u3055\u3044"
                L"\u3002applied.obj \u306F\u5909\u66F4\u3057\u3066\u3044\u307E\u305B\u3093");

  // The line is named in Japanese; the fixed number text stays as it is.
  const Watched bad = CallWatched("ApplyMatrix", (scratch / "m.matrix").c_str(), 1.0);
  ASSERT_EQ(bad.windows.size(), 1u) << Describe(bad.windows);
  EXPECT_EQ(bad.windows[0].text,
            Widen(scratch / "target.obj") + L" \u306E 2 \u884C\u76EE: invalid stod argument");
}

}  // namespace
}  // namespace kvtest
