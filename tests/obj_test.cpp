// OBJ lines and documents: splitting, vertex reading and writing, the line
// rules of the reader, and the streaming writer agreeing with the document.
#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>

#include "line_model/obj_document.h"
#include "line_model/obj_record.h"
#include "obj/obj_stream.h"
#include "split_mix.h"
#include "test_support.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/messages.h"

namespace korvane {
namespace {

using testing::FakePlatform;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

TEST(ObjRecord, SplitsAtSpacesOnly) {
  struct Case {
    const char* line;
    const char* keyword;
    std::vector<std::string> tokens;
    const char* text;
  } cases[] = {
      {"v 1 2 3", "v", {"v", "1", "2", "3"}, "v 1 2 3 "},
      {"   v   -1.5  2e3 0x10  ", "v", {"v", "-1.5", "2e3", "0x10"}, "v -1.5 2e3 0x10 "},
      {"", "", {}, ""},
      {"     ", "", {}, ""},
      {"# a  comment", "#", {"#", "a", "comment"}, "# a comment "},
      {"#comment", "#", {"#comment"}, "#comment "},
      {"v\t1\t2\t3", "v\t1\t2\t3", {"v\t1\t2\t3"}, "v\t1\t2\t3 "},
      {"V 1 2 3", "V", {"V", "1", "2", "3"}, "V 1 2 3 "},
      {"f 1/1/1 2/2/2\r", "f", {"f", "1/1/1", "2/2/2\r"}, "f 1/1/1 2/2/2\r "},
      {"g \x83t\x83@ name", "g", {"g", "\x83t\x83@", "name"}, "g \x83t\x83@ name "},
  };
  for (const Case& c : cases) {
    const ObjRecord r(c.line);
    EXPECT_EQ(r.line(), c.line);
    EXPECT_EQ(r.keyword(), c.keyword) << c.line;
    EXPECT_EQ(r.tokens(), c.tokens) << c.line;
    EXPECT_EQ(r.ToString(), c.text) << c.line;
  }
}

TEST(ObjRecord, ReadsVerticesAsStodDoes) {
  struct Case {
    const char* line;
    double x, y, z;
  } cases[] = {{"v 1 2 3", 1, 2, 3},
               {"   v   -1.5  2e3 0x10  ", -1.5, 2000, 16},
               {"v 1.5abc 2 3", 1.5, 2, 3},
               {"v 1 2 3 1 0 0", 1, 2, 3},
               {"v 1 2 3 # corner", 1, 2, 3},
               {"v inf -INF 1e-5", INFINITY, -INFINITY, 1e-5}};
  for (const Case& c : cases) {
    const Vector3 p = ObjRecord(c.line).GetVertex();
    EXPECT_EQ(p, Vector3(c.x, c.y, c.z)) << c.line;
  }
}

TEST(ObjRecord, ConversionFailuresAndMisuse) {
  for (const char* bad : {"v a 2 3", "v 1 2", "v", "v 1 2 .", "v 1 - 3"}) {
    try {
      ObjRecord(bad).GetVertex();
      ADD_FAILURE() << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::invalid_number) << bad;
      EXPECT_EQ(testing::MessageBytes(e), "invalid stod argument") << bad;
    }
  }
  for (const char* big : {"v 1e999 0 0", "v 0 -1e400 0", "v 0 0 1e-400"}) {
    try {
      ObjRecord(big).GetVertex();
      ADD_FAILURE() << big;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::number_out_of_range) << big;
      EXPECT_EQ(testing::MessageBytes(e), "stod argument out of range") << big;
    }
  }
  for (const char* other : {"vn 0 0 1", "vt 0.5 0.5", "f 1/1/1 2/2/2 3/3/3", "V 1 2 3", ""}) {
    ObjRecord r(other);
    const std::string before = r.ToString();
    try {
      r.GetVertex();
      ADD_FAILURE() << other;
    } catch (const Error& e) {
      EXPECT_EQ(testing::MessageBytes(e), text::kGetVertexMisuse);
    }
    try {
      r.SetVertex(Vector3(1, 2, 3));
      ADD_FAILURE() << other;
    } catch (const Error& e) {
      EXPECT_EQ(testing::MessageBytes(e), text::kSetVertexMisuse);
    }
    EXPECT_EQ(r.ToString(), before);
  }
}

TEST(ObjRecord, SetVertexWritesSixDecimalsAndKeepsOtherTokens) {
  ObjRecord r("v 1 2 3 1 0 0");
  r.SetVertex(Vector3(0.1, -2, 1234567.25));
  EXPECT_EQ(r.ToString(), "v 0.100000 -2.000000 1234567.250000 1 0 0 ");
  EXPECT_EQ(r.line(), "v 1 2 3 1 0 0");
  ObjRecord c("v 1 2 3 # corner");
  c.SetVertex(Vector3(-0.0000004, 1e20, 0.0000005));
  EXPECT_EQ(c.ToString(), "v -0.000000 100000000000000000000.000000 0.000000 # corner ");
  ObjRecord s("v 1.5abc 2 3");
  s.SetVertex(s.GetVertex());
  EXPECT_EQ(s.ToString(), "v 1.500000 2.000000 3.000000 ");
}

// Document text for a file's bytes, through the document and through the
// streaming writer, which must agree.
std::string DocumentText(const std::string& bytes, const Matrix4& m = IdentityMatrix4()) {
  ObjDocument d;
  d.LoadText(bytes, "mem.obj");
  d.transform = m;
  const std::string via_document = d.ToString();
  EXPECT_EQ(obj::TransformObjText(bytes, m, "\n", "mem.obj"), via_document);
  return via_document;
}

TEST(ObjDocument, LineRulesOfTheReader) {
  struct Case {
    const char* bytes;
    std::size_t lines;
    std::size_t vertices;
    const char* text;
  } cases[] = {
      {"v 1 2 3\nf 1 1 1\n", 3, 1, "v 1.000000 2.000000 3.000000 \nf 1 1 1 \n\n"},
      {"v 1 2 3\nf 1 1 1", 2, 1, "v 1.000000 2.000000 3.000000 \nf 1 1 1 \n"},
      {"", 1, 0, "\n"},
      {"v 1 2 3\r\nvn 0 0 1\r\n", 3, 1, "v 1.000000 2.000000 3.000000 \nvn 0 0 1 \n\n"},
      {"v\t1\t2\t3\n", 2, 0, "v\t1\t2\t3 \n\n"},
      {"# exported\n", 2, 0, "# exported \n\n"},
      {"v 0.1234567 0 0", 1, 1, "v 0.123457 0.000000 0.000000 \n"},
      {"a\rb\rc", 1, 0, "a\rb\rc \n"},
      {"x\r", 1, 0, "x\r \n"},
      {"\n\n", 3, 0, "\n\n\n"},
  };
  for (const Case& c : cases) {
    ObjDocument d;
    d.LoadText(c.bytes, "mem.obj");
    EXPECT_EQ(d.lines.size(), c.lines) << c.bytes;
    EXPECT_EQ(d.vertices.size(), c.vertices) << c.bytes;
    EXPECT_EQ(DocumentText(c.bytes), c.text) << c.bytes;
  }
}

TEST(ObjDocument, TransformMovesOnlyPositions) {
  Matrix4 m = IdentityMatrix4();
  m.translation() = Vector3(10, 20, 30);
  EXPECT_EQ(DocumentText("v 1 2 3\nvn 0 0 1\nvt 1 2\n", m),
            "v 11.000000 22.000000 33.000000 \nvn 0 0 1 \nvt 1 2 \n\n");
  Matrix4 turn = IdentityMatrix4();
  turn.matrix().row(3) << 5, 5, 5, 5;  // row 3 never takes part
  turn.linear() << 0, -2, 0, 2, 0, 0, 0, 0, 2;
  EXPECT_EQ(DocumentText("v 1 2 3 0.5\n", turn), "v -4.000000 2.000000 6.000000 0.5 \n\n");
}

TEST(ObjDocument, BadVertexStopsLoadNamingFileAndLine) {
  ObjDocument d;
  try {
    d.LoadText("# a\n\nv 1 2 3\ng x\nv 1 x 3\nv 4 5 6\n", "target.obj");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::invalid_number);
    EXPECT_EQ(platform::ToUtf8(e.message()), "target.obj line 5: invalid stod argument");
  }
  EXPECT_EQ(d.lines.size(), 5u);
  EXPECT_EQ(d.vertices.size(), 1u);
  try {
    obj::TransformObjText("v 1 2 3\nv 1e999 0 0\n", IdentityMatrix4(), "\n", "t.obj");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::number_out_of_range);
    EXPECT_EQ(platform::ToUtf8(e.message()), "t.obj line 2: stod argument out of range");
  }
}

// The box naming the file is the commands' (see the calc and apply tests).
TEST(ObjDocument, MissingFileStaysEmpty) {
  ScratchDir dir;
  FakePlatform fake;
  ObjDocument d;
  EXPECT_FALSE(d.Load(dir / "nope.obj"));
  EXPECT_TRUE(fake.boxes.empty());
  EXPECT_TRUE(d.lines.empty());
  EXPECT_EQ(d.ToString(), "");
  EXPECT_FALSE(d.Load(dir.path())) << "a directory is not a readable file";
}

TEST(LineEnd, FindsTheLineFeedAndPairedSpacesAsAByteByByteReading) {
  // Mostly spaces and line feeds, so that pairs fall on, before, after and
  // across every sixteen-byte boundary and after the line's end.
  testing::SplitMix rng(7);
  for (int round = 0; round < 4000; ++round) {
    std::string bytes(rng.Below(100), 'a');
    for (char& c : bytes) c = rng.Below(30) == 0 ? '\n' : " \ra "[rng.Below(4)];
    const std::size_t from = rng.Below(bytes.size() + 1);
    const std::size_t lf = std::min(bytes.find('\n', from), bytes.size());
    const bool paired = bytes.substr(from, lf - from).find("  ") != std::string::npos;
    text::Spacing spacing = text::Spacing::unknown;
    const char* end = text::FindLineEnd(bytes.data() + from, bytes.data() + bytes.size(), spacing);
    ASSERT_EQ(end - bytes.data(), static_cast<std::ptrdiff_t>(lf))
        << '"' << bytes << "\" from " << from;
    ASSERT_EQ(spacing, paired ? text::Spacing::paired : text::Spacing::single)
        << '"' << bytes << "\" from " << from;
  }
}

TEST(LineReader, SameLinesWhateverTheBlockSize) {
  ScratchDir dir;
  // CR LF pairs, lone CRs and long lines straddle every block boundary.
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    bytes += "v " + std::to_string(i) + (i % 4 == 0 ? "  2 3" : " 2 3");
    bytes += (i % 3 == 0) ? "\r\n" : (i % 3 == 1 ? "\n" : "\r\r\n");
    if (i % 50 == 0) bytes += std::string(static_cast<std::size_t>(i * 7), 'x') + "\n";
  }
  bytes += "tail\r";
  WriteFile(dir / "a.obj", bytes);
  ObjDocument reference;
  reference.LoadText(bytes, "a.obj");
  for (std::size_t block : {1u, 2u, 3u, 7u, 64u, 4096u}) {
    platform::InputFile in;
    ASSERT_TRUE(in.Open(dir / "a.obj"));
    obj::LineReader reader(in, block);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.Next(line)) {
      lines.emplace_back(line);
      // A spacing it tells is the whole line's.
      const bool paired = line.find("  ") != std::string_view::npos;
      if (reader.spacing() != text::Spacing::unknown) {
        EXPECT_EQ(reader.spacing(), paired ? text::Spacing::paired : text::Spacing::single);
      }
    }
    EXPECT_EQ(lines, reference.lines) << "block " << block;
    EXPECT_EQ(reader.lineNumber(), reference.lines.size());
  }
  // In pieces (4 bytes at most), no piece's spacing passes for its line's.
  platform::InputFile in;
  ASSERT_TRUE(in.Open(dir / "a.obj"));
  obj::LineReader reader(in, 4, 4);
  std::string_view piece;
  while (reader.Next(piece)) {
    if (!reader.startsLine() || reader.continues()) {
      EXPECT_EQ(reader.spacing(), text::Spacing::unknown) << "line " << reader.lineNumber();
    }
  }
}

TEST(StreamingWriter, FileOutputMatchesDocumentAndLeavesNoTemporaryFile) {
  ScratchDir dir;
  FakePlatform fake;
  const std::string bytes = "o Body\r\nv 1 2 3\nvt 0 1\n  f 1/1 1/1 1/1  \nv -0 1e-7 -1e-7";
  WriteFile(dir / "in.obj", bytes);
  Matrix4 m = IdentityMatrix4();
  m.translation() = Vector3(0.5, 0, 0);
  ASSERT_NO_THROW(obj::TransformObjFile(dir / "in.obj", dir / "out.obj", m));
  EXPECT_EQ(ReadFile(dir / "out.obj"), DocumentText(bytes, m));
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.obj", "out.obj"}));
  std::vector<Vector3> v;
  ASSERT_NO_THROW(obj::LoadObjVertices(dir / "in.obj", v));
  ASSERT_EQ(v.size(), 2u);
  EXPECT_TRUE(std::signbit(v[1].x()));
  EXPECT_EQ(v[1].z(), -1e-7);
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Long lines arrive in pieces; the text written must not depend on where the
// pieces were cut.
TEST(StreamingWriter, PiecesOfLongLinesGiveTheSameText) {
  ScratchDir dir;
  FakePlatform fake;
  std::mt19937 rng(17);
  const char* parts[] = {"v", " ", "  ", "1", "-2.5", "0x1p3", "abc", "#", "\r", "\t", "vn", "\n",
                         "\r\n", "7e-3", "f", "1/2/3"};
  Matrix4 m = IdentityMatrix4();
  m.translation() = Vector3(1, -1, 0.5);
  int compared = 0;
  for (int round = 0; round < 400; ++round) {
    std::string bytes;
    const int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) bytes += parts[rng() % (sizeof parts / sizeof *parts)];
    std::string whole;
    bool whole_ok = true;
    try {
      whole = obj::TransformObjText(bytes, m, "\n", "in.obj");
    } catch (const Error&) {
      whole_ok = false;
    }
    WriteFile(dir / "in.obj", bytes);
    for (std::size_t piece : {2u, 3u, 5u, 11u}) {
      std::remove((dir / "out.obj").c_str());
      bool ok = true;
      try {
        obj::StreamOptions options;
        options.maxPiece = piece;
        obj::TransformObjFile(dir / "in.obj", dir / "out.obj", m, options);
      } catch (const Error& e) {
        ok = false;
        // Only a vertex line cut inside its coordinates may be refused here.
        if (whole_ok) {
          EXPECT_NE(platform::ToUtf8(e.message()).find("too long"), std::string::npos)
              << ::testing::PrintToString(bytes);
        }
      }
      if (ok) {
        ASSERT_TRUE(whole_ok) << ::testing::PrintToString(bytes) << " piece " << piece;
        ASSERT_EQ(ReadFile(dir / "out.obj"), whole) << ::testing::PrintToString(bytes) << " piece "
                                                   << piece;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 800);
}

TEST(StreamingWriter, HugeLinesUseBoundedMemory) {
  ScratchDir dir;
  FakePlatform fake;
  // Three lines of 80 MB each, longer than the reader ever holds: a comment,
  // a single token without any space, and a vertex line with a long tail.
  {
    std::ofstream out(dir / "big.obj", std::ios::binary);
    const std::string block(1 << 20, 'x');
    out << "# ";
    for (int i = 0; i < 80; ++i) out << block << ' ';
    out << "\n";
    for (int i = 0; i < 80; ++i) out << block;
    out << "\nv 1 2 3";
    for (int i = 0; i < 80; ++i) out << ' ' << block;
    out << "\n";
  }
  ASSERT_NO_THROW(obj::TransformObjFile(dir / "big.obj", dir / "out.obj", IdentityMatrix4()));
  platform::InputFile in;
  ASSERT_TRUE(in.Open(dir / "out.obj"));
  obj::LineReader reader(in, 1 << 20, 1 << 20);
  std::string_view piece;
  std::vector<std::size_t> lengths;
  std::string third_start;
  std::size_t length = 0;
  while (reader.Next(piece)) {
    if (reader.startsLine() && reader.lineNumber() == 3) third_start = std::string(piece.substr(0, 29));
    length += piece.size();
    if (!reader.continues()) {
      lengths.push_back(length);
      length = 0;
    }
  }
  const std::size_t mb = 1 << 20;
  // The input ended with a line feed, so the output has one more, empty, line.
  EXPECT_EQ(lengths, (std::vector<std::size_t>{2 + 80 * (mb + 1), 80 * mb + 1,
                                                29 + 80 * (mb + 1), 0, 0}));
  EXPECT_EQ(third_start, "v 1.000000 2.000000 3.000000 ");
  std::vector<Vector3> v;
  ASSERT_NO_THROW(obj::LoadObjVertices(dir / "big.obj", v));
  EXPECT_EQ(v, std::vector<Vector3>{Vector3(1, 2, 3)});
}

// A file that cannot be opened is named in the user's language.
TEST(Messages, CannotOpenIsSaidInTheUsersLanguage) {
  const auto flat = [](const text::Message& m) {
    std::string out;
    for (const auto& piece : m.pieces()) out += piece.bytes;
    return out;
  };
  try {
    text::ThrowCannotOpen("a.obj");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(flat(e.message().In(text::Language::english)), "cannot open a.obj");
    EXPECT_EQ(flat(e.message().In(text::Language::japanese)),
              "\x8a"
              "J\x82\xaf\x82\xdc\x82\xb9\x82\xf1: a.obj");
    EXPECT_EQ(e.file(), "a.obj");
  }
}

}  // namespace
}  // namespace korvane
