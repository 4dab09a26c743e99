// The words of the mesh readers' refusals (STL, PLY, glTF and the format
// detection), in English and in Japanese (code page 932 bytes; the UTF-8 form
// is in the comment above each), pieced together around numbers and names.
// Regenerate an entry with scripts/phrase.py.
#pragma once

#include "text/message.h"

namespace korvane::text {

// clang-format off

// "動きで頂点がファイルの数値で表せる範囲の外に出ます。何も書き込んでいません"
inline constexpr Phrase kMovedOutOfRange{
    "the motion carries a vertex out of the range of the file's numbers; nothing was written",
    "\x93\xae\x82\xab\x82\xc5\x92\xb8\x93_\x82\xaa\x83t\x83@\x83" "C\x83\x8b\x82\xcc\x90\x94\x92l\x82\xc5\x95\x5c\x82\xb9\x82\xe9\x94\xcd\x88\xcd\x82\xcc\x8aO\x82\xc9\x8fo\x82\xdc\x82\xb7\x81" "B\x89\xbd\x82\xe0\x8f\x91\x82\xab\x8d\x9e\x82\xf1\x82\xc5\x82\xa2\x82\xdc\x82\xb9\x82\xf1"};
// "この形式の行としては長すぎます"
inline constexpr Phrase kLineTooLong{
    "the line is too long to be a line of this format",
    "\x82\xb1\x82\xcc\x8c`\x8e\xae\x82\xcc\x8ds\x82\xc6\x82\xb5\x82\xc4\x82\xcd\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7"};
// "頂点が 40 億個を超えるメッシュです"
inline constexpr Phrase kOverFourBillion{
    "a mesh of more than 4 billion vertices",
    "\x92\xb8\x93_\x82\xaa 40 \x89\xad\x8c\xc2\x82\xf0\x92\xb4\x82\xa6\x82\xe9\x83\x81\x83" "b\x83V\x83\x85\x82\xc5\x82\xb7"};
// "読み込みを中断しました: "
inline constexpr Phrase kInterruptedReading{
    "interrupted while reading ",
    "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xf0\x92\x86\x92" "f\x82\xb5\x82\xdc\x82\xb5\x82\xbd: "};
// " は "
inline constexpr Phrase kLooksLike{
    " looks like ",
    " \x82\xcd "};
// " のようです。Korvane が読めるメッシュ（OBJ、STL、PLY、glTF、GLB）ではありません。いずれかの形式で書き出してください"
inline constexpr Phrase kNotAMesh{
    ", not a mesh Korvane reads (OBJ, STL, PLY, glTF or GLB); export the mesh to one of those",
    " \x82\xcc\x82\xe6\x82\xa4\x82\xc5\x82\xb7\x81" "BKorvane \x82\xaa\x93\xc7\x82\xdf\x82\xe9\x83\x81\x83" "b\x83V\x83\x85\x81iOBJ\x81" "ASTL\x81" "APLY\x81" "AglTF\x81" "AGLB\x81j\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81" "B\x82\xa2\x82\xb8\x82\xea\x82\xa9\x82\xcc\x8c`\x8e\xae\x82\xc5\x8f\x91\x82\xab\x8fo\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"};
// " は入力 "
inline constexpr Phrase kOtherFormat{
    " names another format than the input ",
    " \x82\xcd\x93\xfc\x97\xcd "};
// "（"
inline constexpr Phrase kOtherFormatOf{
    ", ",
    "\x81i"};
// "）と別の形式の名前です。再生は入力と同じ形式で書き出します。出力の名前を ."
inline constexpr Phrase kOwnFormat{
    ": a replay writes the input's own format; name the output .",
    "\x81j\x82\xc6\x95\xca\x82\xcc\x8c`\x8e\xae\x82\xcc\x96\xbc\x91O\x82\xc5\x82\xb7\x81" "B\x8d\xc4\x90\xb6\x82\xcd\x93\xfc\x97\xcd\x82\xc6\x93\xaf\x82\xb6\x8c`\x8e\xae\x82\xc5\x8f\x91\x82\xab\x8fo\x82\xb5\x82\xdc\x82\xb7\x81" "B\x8fo\x97\xcd\x82\xcc\x96\xbc\x91O\x82\xf0 ."};
// " にしてください"
inline constexpr Phrase kOwnFormatEnd{
    "",
    " \x82\xc9\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"};
// "バイナリ STL としては短すぎます（"
inline constexpr Phrase kStlTooShort{
    "too short for a binary STL (",
    "\x83o\x83" "C\x83i\x83\x8a STL \x82\xc6\x82\xb5\x82\xc4\x82\xcd\x92Z\x82\xb7\x82\xac\x82\xdc\x82\xb7\x81i"};
// " バイト。ヘッダーだけで 84 バイトあります）"
inline constexpr Phrase kStlTooShortEnd{
    " bytes; its header alone has 84)",
    " \x83o\x83" "C\x83g\x81" "B\x83w\x83" "b\x83_\x81[\x82\xbe\x82\xaf\x82\xc5 84 \x83o\x83" "C\x83g\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x81j"};
// "バイナリ STL のヘッダーによると三角形は "
inline constexpr Phrase kStlCounts{
    "the binary STL header counts ",
    "\x83o\x83" "C\x83i\x83\x8a STL \x82\xcc\x83w\x83" "b\x83_\x81[\x82\xc9\x82\xe6\x82\xe9\x82\xc6\x8eO\x8ap\x8c`\x82\xcd "};
// " 個（"
inline constexpr Phrase kStlCountsBytes{
    " triangles (",
    " \x8c\xc2\x81i"};
// " バイト）ですが、ファイルは "
inline constexpr Phrase kStlCountsHas{
    " bytes) but the file has ",
    " \x83o\x83" "C\x83g\x81j\x82\xc5\x82\xb7\x82\xaa\x81" "A\x83t\x83@\x83" "C\x83\x8b\x82\xcd "};
// " バイトしかありません。途中で切れています"
inline constexpr Phrase kStlCountsCut{
    " bytes: it was cut short",
    " \x83o\x83" "C\x83g\x82\xb5\x82\xa9\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81" "B\x93r\x92\x86\x82\xc5\x90\xd8\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7"};
// "最後の三角形の前でファイルが終わりました（読み込み中に変更されましたか？）"
inline constexpr Phrase kStlEndedEarly{
    "the file ended before its last triangle (it changed while read?)",
    "\x8d\xc5\x8c\xe3\x82\xcc\x8eO\x8ap\x8c`\x82\xcc\x91O\x82\xc5\x83t\x83@\x83" "C\x83\x8b\x82\xaa\x8fI\x82\xed\x82\xe8\x82\xdc\x82\xb5\x82\xbd\x81i\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x92\x86\x82\xc9\x95\xcf\x8dX\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd\x82\xa9\x81H\x81j"};
// "角が "
inline constexpr Phrase kFacetCorners{
    "a facet with ",
    "\x8ap\x82\xaa "};
// " 個の面です（3 個必要です）"
inline constexpr Phrase kFacetCornersEnd{
    " corners (three are needed)",
    " \x8c\xc2\x82\xcc\x96\xca\x82\xc5\x82\xb7\x81i3 \x8c\xc2\x95K\x97v\x82\xc5\x82\xb7\x81j"};
// "頂点には数値が 3 つ必要です"
inline constexpr Phrase kVertexThree{
    "a vertex needs three numbers",
    "\x92\xb8\x93_\x82\xc9\x82\xcd\x90\x94\x92l\x82\xaa 3 \x82\xc2\x95K\x97v\x82\xc5\x82\xb7"};
// "面の法線には数値が 3 つ必要です"
inline constexpr Phrase kNormalThree{
    "a facet normal needs three numbers",
    "\x96\xca\x82\xcc\x96@\x90\xfc\x82\xc9\x82\xcd\x90\x94\x92l\x82\xaa 3 \x82\xc2\x95K\x97v\x82\xc5\x82\xb7"};
// "この面の途中でファイルが終わっています（途中で切れていますか？）"
inline constexpr Phrase kEndsInFacet{
    "the file ends inside this facet (cut short?)",
    "\x82\xb1\x82\xcc\x96\xca\x82\xcc\x93r\x92\x86\x82\xc5\x83t\x83@\x83" "C\x83\x8b\x82\xaa\x8fI\x82\xed\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81i\x93r\x92\x86\x82\xc5\x90\xd8\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x82\xa9\x81H\x81j"};

// "PLY のヘッダーが長すぎます"
inline constexpr Phrase kPlyHeaderLong{
    "a PLY header this long",
    "PLY \x82\xcc\x83w\x83" "b\x83_\x81[\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7"};
// "PLY ファイルではありません（"ply" の行がありません）"
inline constexpr Phrase kPlyNotPly{
    "not a PLY file (no \"ply\" line)",
    "PLY \x83t\x83@\x83" "C\x83\x8b\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81i\x22ply\x22 \x82\xcc\x8ds\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81j"};
// "PLY 形式のバージョンが不明です"
inline constexpr Phrase kPlyVersion{
    "an unknown PLY format version",
    "PLY \x8c`\x8e\xae\x82\xcc\x83o\x81[\x83W\x83\x87\x83\x93\x82\xaa\x95s\x96\xbe\x82\xc5\x82\xb7"};
// "不明な PLY 形式 ""
inline constexpr Phrase kPlyFormat{
    "an unknown PLY format \"",
    "\x95s\x96\xbe\x82\xc8 PLY \x8c`\x8e\xae \x22"};
// "" です"
inline constexpr Phrase kPlyFormatEnd{
    "\"",
    "\x22 \x82\xc5\x82\xb7"};
// "element には名前と個数が必要です"
inline constexpr Phrase kPlyElementNeeds{
    "an element needs a name and a count",
    "element \x82\xc9\x82\xcd\x96\xbc\x91O\x82\xc6\x8c\xc2\x90\x94\x82\xaa\x95K\x97v\x82\xc5\x82\xb7"};
// "element より前に property があります"
inline constexpr Phrase kPlyPropertyFirst{
    "a property before any element",
    "element \x82\xe6\x82\xe8\x91O\x82\xc9 property \x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7"};
// "property には既知の型と名前が必要です"
inline constexpr Phrase kPlyPropertyNeeds{
    "a property needs a known type and a name",
    "property \x82\xc9\x82\xcd\x8a\xf9\x92m\x82\xcc\x8c^\x82\xc6\x96\xbc\x91O\x82\xaa\x95K\x97v\x82\xc5\x82\xb7"};
// "PLY のヘッダーに end_header の行がありません"
inline constexpr Phrase kPlyNoEnd{
    "the PLY header has no end_header line",
    "PLY \x82\xcc\x83w\x83" "b\x83_\x81[\x82\xc9 end_header \x82\xcc\x8ds\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "PLY のヘッダーに format の行がありません"
inline constexpr Phrase kPlyNoFormat{
    "the PLY header has no format line",
    "PLY \x82\xcc\x83w\x83" "b\x83_\x81[\x82\xc9 format \x82\xcc\x8ds\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "element ""
inline constexpr Phrase kPlyElement{
    "the element \"",
    "element \x22"};
// "" に property がありません"
inline constexpr Phrase kPlyNoProperties{
    "\" has no properties",
    "\x22 \x82\xc9 property \x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "ヘッダーによると "
inline constexpr Phrase kPlyCounts{
    "the header counts ",
    "\x83w\x83" "b\x83_\x81[\x82\xc9\x82\xe6\x82\xe9\x82\xc6 "};
// " 個の "
inline constexpr Phrase kPlyCountsOf{
    " ",
    " \x8c\xc2\x82\xcc "};
// " のレコードがありますが、その後の "
inline constexpr Phrase kPlyCountsMore{
    " records, more than the ",
    " \x82\xcc\x83\x8c\x83R\x81[\x83h\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x82\xaa\x81" "A\x82\xbb\x82\xcc\x8c\xe3\x82\xcc "};
// " バイトには収まりません。ファイルが途中で切れているか壊れています"
inline constexpr Phrase kPlyCountsHold{
    " bytes after it can hold: the file was cut short or is damaged",
    " \x83o\x83" "C\x83g\x82\xc9\x82\xcd\x8e\xfb\x82\xdc\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81" "B\x83t\x83@\x83" "C\x83\x8b\x82\xaa\x93r\x92\x86\x82\xc5\x90\xd8\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xa9\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7"};
// "PLY ファイルに vertex の element がありません"
inline constexpr Phrase kPlyNoVertex{
    "the PLY file has no vertex element",
    "PLY \x83t\x83@\x83" "C\x83\x8b\x82\xc9 vertex \x82\xcc element \x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "PLY の頂点に x、y、z がありません"
inline constexpr Phrase kPlyNoXyz{
    "the PLY vertices have no x, y and z",
    "PLY \x82\xcc\x92\xb8\x93_\x82\xc9 x\x81" "Ay\x81" "Az \x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "データの途中でファイルが終わっています（途中で切れているか、個数が間違っています）"
inline constexpr Phrase kPlyEndsInData{
    "the file ends inside its data (cut short, or a count is wrong)",
    "\x83" "f\x81[\x83^\x82\xcc\x93r\x92\x86\x82\xc5\x83t\x83@\x83" "C\x83\x8b\x82\xaa\x8fI\x82\xed\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81i\x93r\x92\x86\x82\xc5\x90\xd8\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xa9\x81" "A\x8c\xc2\x90\x94\x82\xaa\x8a\xd4\x88\xe1\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81j"};
// "長さが負のリストです"
inline constexpr Phrase kPlyNegativeList{
    "a list with a negative length",
    "\x92\xb7\x82\xb3\x82\xaa\x95\x89\x82\xcc\x83\x8a\x83X\x83g\x82\xc5\x82\xb7"};
// "面 "
inline constexpr Phrase kPlyFace{
    "face ",
    "\x96\xca "};
// " が指す頂点 "
inline constexpr Phrase kPlyNamesVertex{
    " names vertex ",
    " \x82\xaa\x8ew\x82\xb7\x92\xb8\x93_ "};
// " はありません"
inline constexpr Phrase kPlyNoSuchVertex{
    ", which does not exist",
    " \x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "面が指す頂点 "
inline constexpr Phrase kPlyFaceNames{
    "a face names vertex ",
    "\x96\xca\x82\xaa\x8ew\x82\xb7\x92\xb8\x93_ "};
// " は "
inline constexpr Phrase kPlyFaceOf{
    " of ",
    " \x82\xcd "};
// " 個のうちにありません（0 から数えます）"
inline constexpr Phrase kPlyFromZero{
    " (numbered from 0)",
    " \x8c\xc2\x82\xcc\x82\xa4\x82\xbf\x82\xc9\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81i0 \x82\xa9\x82\xe7\x90\x94\x82\xa6\x82\xdc\x82\xb7\x81j"};
// "最後の "
inline constexpr Phrase kPlyEndsBefore{
    "the file ends before its last ",
    "\x8d\xc5\x8c\xe3\x82\xcc "};
// " の前でファイルが終わっています（"
inline constexpr Phrase kPlyEndsBeforeAt{
    " (",
    " \x82\xcc\x91O\x82\xc5\x83t\x83@\x83" "C\x83\x8b\x82\xaa\x8fI\x82\xed\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81i"};
// " / "
inline constexpr Phrase kPlyEndsOf{
    " of ",
    " / "};
// " 個）"
inline constexpr Phrase kPlyEndsClose{
    ")",
    " \x8c\xc2\x81j"};
// ""
inline constexpr Phrase kPlyTooFew{
    "too few values for a ",
    ""};
// " のレコードの値が足りません"
inline constexpr Phrase kPlyTooFewEnd{
    " record",
    " \x82\xcc\x83\x8c\x83R\x81[\x83h\x82\xcc\x92l\x82\xaa\x91\xab\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "" は数値ではありません"
inline constexpr Phrase kPlyNotNumber{
    "\" is not a number",
    "\x22 \x82\xcd\x90\x94\x92l\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"};
// "PLY の位置が整数型のため、動かした位置を表せません"
inline constexpr Phrase kPlyWholePositions{
    "the PLY positions are whole numbers, which cannot hold moved positions",
    "PLY \x82\xcc\x88\xca\x92u\x82\xaa\x90\xae\x90\x94\x8c^\x82\xcc\x82\xbd\x82\xdf\x81" "A\x93\xae\x82\xa9\x82\xb5\x82\xbd\x88\xca\x92u\x82\xf0\x95\x5c\x82\xb9\x82\xdc\x82\xb9\x82\xf1"};
// "PLY の法線が整数型のため、回した法線を表せません"
inline constexpr Phrase kPlyWholeNormals{
    "the PLY normals are whole numbers, which cannot hold turned normals",
    "PLY \x82\xcc\x96@\x90\xfc\x82\xaa\x90\xae\x90\x94\x8c^\x82\xcc\x82\xbd\x82\xdf\x81" "A\x89\xf1\x82\xb5\x82\xbd\x96@\x90\xfc\x82\xf0\x95\x5c\x82\xb9\x82\xdc\x82\xb9\x82\xf1"};

// "バイナリ STL"
inline constexpr Phrase kBinaryStlName{
    "binary STL",
    "\x83o\x83" "C\x83i\x83\x8a STL"};

// What a file that is not a mesh looks like, and the stream's refusal.
// "バイナリ FBX ファイル"
inline constexpr Phrase kLooksBinaryFbx{
    "a binary FBX file",
    "\x83o\x83" "C\x83i\x83\x8a FBX \x83t\x83@\x83" "C\x83\x8b"};
// "PNG 画像"
inline constexpr Phrase kLooksPng{
    "a PNG image",
    "PNG \x89\xe6\x91\x9c"};
// "JPEG 画像"
inline constexpr Phrase kLooksJpeg{
    "a JPEG image",
    "JPEG \x89\xe6\x91\x9c"};
// "PDF 文書"
inline constexpr Phrase kLooksPdf{
    "a PDF document",
    "PDF \x95\xb6\x8f\x91"};
// "gzip 圧縮ファイル"
inline constexpr Phrase kLooksGzip{
    "a gzip-compressed file",
    "gzip \x88\xb3\x8fk\x83t\x83@\x83" "C\x83\x8b"};
// "bzip2 圧縮ファイル"
inline constexpr Phrase kLooksBzip2{
    "a bzip2-compressed file",
    "bzip2 \x88\xb3\x8fk\x83t\x83@\x83" "C\x83\x8b"};
// "7-Zip アーカイブ"
inline constexpr Phrase kLooks7z{
    "a 7-Zip archive",
    "7-Zip \x83" "A\x81[\x83J\x83" "C\x83u"};
// "xz 圧縮ファイル"
inline constexpr Phrase kLooksXz{
    "an xz-compressed file",
    "xz \x88\xb3\x8fk\x83t\x83@\x83" "C\x83\x8b"};
// "RAR アーカイブ"
inline constexpr Phrase kLooksRar{
    "a RAR archive",
    "RAR \x83" "A\x81[\x83J\x83" "C\x83u"};
// "プログラム（ELF）"
inline constexpr Phrase kLooksElf{
    "a program (ELF)",
    "\x83v\x83\x8d\x83O\x83\x89\x83\x80\x81iELF\x81j"};
// "Blender ファイル（.blend）"
inline constexpr Phrase kLooksBlend{
    "a Blender file (.blend)",
    "Blender \x83t\x83@\x83" "C\x83\x8b\x81i.blend\x81j"};
// "Draco 圧縮メッシュ"
inline constexpr Phrase kLooksDracoMesh{
    "a Draco-compressed mesh",
    "Draco \x88\xb3\x8fk\x83\x81\x83" "b\x83V\x83\x85"};
// "3MF ファイル（ZIP アーカイブ）"
inline constexpr Phrase kLooks3mfZip{
    "a 3MF file (a ZIP archive)",
    "3MF \x83t\x83@\x83" "C\x83\x8b\x81iZIP \x83" "A\x81[\x83J\x83" "C\x83u\x81j"};
// "USDZ ファイル（ZIP アーカイブ）"
inline constexpr Phrase kLooksUsdzZip{
    "a USDZ file (a ZIP archive)",
    "USDZ \x83t\x83@\x83" "C\x83\x8b\x81iZIP \x83" "A\x81[\x83J\x83" "C\x83u\x81j"};
// "ZIP アーカイブ（3MF などのまとめた形式は ZIP アーカイブです）"
inline constexpr Phrase kLooksZip{
    "a ZIP archive (3MF and other packed formats are ZIP archives)",
    "ZIP \x83" "A\x81[\x83J\x83" "C\x83u\x81i3MF \x82\xc8\x82\xc7\x82\xcc\x82\xdc\x82\xc6\x82\xdf\x82\xbd\x8c`\x8e\xae\x82\xcd ZIP \x83" "A\x81[\x83J\x83" "C\x83u\x82\xc5\x82\xb7\x81j"};
// "テキスト FBX ファイル"
inline constexpr Phrase kLooksTextFbx{
    "a text FBX file",
    "\x83" "e\x83L\x83X\x83g FBX \x83t\x83@\x83" "C\x83\x8b"};
// "VRML ファイル"
inline constexpr Phrase kLooksVrml{
    "a VRML file",
    "VRML \x83t\x83@\x83" "C\x83\x8b"};
// "STEP ファイル"
inline constexpr Phrase kLooksStep{
    "a STEP file",
    "STEP \x83t\x83@\x83" "C\x83\x8b"};
// "USD テキストファイル"
inline constexpr Phrase kLooksUsdText{
    "a USD text file",
    "USD \x83" "e\x83L\x83X\x83g\x83t\x83@\x83" "C\x83\x8b"};
// "OFF ファイル"
inline constexpr Phrase kLooksOff{
    "an OFF file",
    "OFF \x83t\x83@\x83" "C\x83\x8b"};
// "DirectX .x ファイル"
inline constexpr Phrase kLooksDirectX{
    "a DirectX .x file",
    "DirectX .x \x83t\x83@\x83" "C\x83\x8b"};
// "COLLADA ファイル（XML）"
inline constexpr Phrase kLooksCollada{
    "a COLLADA file (XML)",
    "COLLADA \x83t\x83@\x83" "C\x83\x8b\x81iXML\x81j"};
// "AMF ファイル（XML）"
inline constexpr Phrase kLooksAmf{
    "an AMF file (XML)",
    "AMF \x83t\x83@\x83" "C\x83\x8b\x81iXML\x81j"};
// "X3D ファイル（XML）"
inline constexpr Phrase kLooksX3d{
    "an X3D file (XML)",
    "X3D \x83t\x83@\x83" "C\x83\x8b\x81iXML\x81j"};
// "3MF モデル（XML）"
inline constexpr Phrase kLooks3mfModel{
    "a 3MF model (XML)",
    "3MF \x83\x82\x83" "f\x83\x8b\x81iXML\x81j"};
// "XML ファイル"
inline constexpr Phrase kLooksXml{
    "an XML file",
    "XML \x83t\x83@\x83" "C\x83\x8b"};
// "glTF ではない JSON ファイル（"asset" がありません）"
inline constexpr Phrase kLooksJson{
    "a JSON file that is not glTF (no \"asset\")",
    "glTF \x82\xc5\x82\xcd\x82\xc8\x82\xa2 JSON \x83t\x83@\x83" "C\x83\x8b\x81i\x22" "asset\x22 \x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81j"};
// "FBX ファイル"
inline constexpr Phrase kLooksFbx{
    "an FBX file",
    "FBX \x83t\x83@\x83" "C\x83\x8b"};
// "3MF ファイル"
inline constexpr Phrase kLooks3mf{
    "a 3MF file",
    "3MF \x83t\x83@\x83" "C\x83\x8b"};
// "COLLADA ファイル"
inline constexpr Phrase kLooksColladaName{
    "a COLLADA file",
    "COLLADA \x83t\x83@\x83" "C\x83\x8b"};
// "3DS ファイル"
inline constexpr Phrase kLooks3ds{
    "a 3DS file",
    "3DS \x83t\x83@\x83" "C\x83\x8b"};
// "Blender ファイル"
inline constexpr Phrase kLooksBlender{
    "a Blender file",
    "Blender \x83t\x83@\x83" "C\x83\x8b"};
// "3ds Max ファイル"
inline constexpr Phrase kLooksMax{
    "a 3ds Max file",
    "3ds Max \x83t\x83@\x83" "C\x83\x8b"};
// "USD ファイル"
inline constexpr Phrase kLooksUsd{
    "a USD file",
    "USD \x83t\x83@\x83" "C\x83\x8b"};
// "Alembic ファイル"
inline constexpr Phrase kLooksAlembic{
    "an Alembic file",
    "Alembic \x83t\x83@\x83" "C\x83\x8b"};
// "IGES ファイル"
inline constexpr Phrase kLooksIges{
    "an IGES file",
    "IGES \x83t\x83@\x83" "C\x83\x8b"};
// "Draco ファイル"
inline constexpr Phrase kLooksDraco{
    "a Draco file",
    "Draco \x83t\x83@\x83" "C\x83\x8b"};
// "バイナリデータ"
inline constexpr Phrase kLooksBinaryData{
    "binary data",
    "\x83o\x83" "C\x83i\x83\x8a\x83" "f\x81[\x83^"};
// " は "
inline constexpr Phrase kStreamHolds{
    " holds ",
    " \x82\xcd "};
// " です。ストリームで再生できるのは OBJ だけです（代わりにファイルのパスを指定してください）"
inline constexpr Phrase kStreamObjOnly{
    "; a stream replays OBJ only (give the file's path instead)",
    " \x82\xc5\x82\xb7\x81" "B\x83X\x83g\x83\x8a\x81[\x83\x80\x82\xc5\x8d\xc4\x90\xb6\x82\xc5\x82\xab\x82\xe9\x82\xcc\x82\xcd OBJ \x82\xbe\x82\xaf\x82\xc5\x82\xb7\x81i\x91\xe3\x82\xed\x82\xe8\x82\xc9\x83t\x83@\x83" "C\x83\x8b\x82\xcc\x83p\x83X\x82\xf0\x8ew\x92\xe8\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81j"};

// clang-format on

}  // namespace korvane::text
