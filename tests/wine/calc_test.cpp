// CalcMatrix: measures base.obj -> transformed.obj into active.matrix. The
// topology line goes to standard output, so the measurement runs in a child
// process whose output this test reads through a pipe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace kvtest {
namespace {

constexpr char kBase[] = "v 0 0 0\nv 4 0 0\nv 0 3 0\nf 1 2 3\n";
// The base turned 90 degrees about z, scaled by 2 and moved by (10, 20, 30).
constexpr char kTransformed[] = "v 10 20 30\nv 10 28 30\nv 4 20 30\nf 1 2 3\n";
constexpr DWORD kChildTimeoutMs = 60000;

// Runs CalcMatrix in `work` in a child process; returns its standard output
// with CR LF read as LF.
std::string CalcInChild(const std::string& work) {
  std::wstring dir = Widen(work);
  // A backslash before the closing quote would escape it.
  if (!dir.empty() && dir.back() == L'\\') dir += L'\\';
  const ChildResult r = RunSelf(L"--calc-child \"" + dir + L"\"", kChildTimeoutMs);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u) << r.out;
  std::string out;
  for (std::size_t i = 0; i < r.out.size(); ++i) {
    if (r.out[i] == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n') continue;
    out += r.out[i];
  }
  return out;
}

// Checks the layout of a matrix file and returns its sixteen numbers: four
// lines ended by CR LF, every field right-aligned to one common width (the
// widest number's), one space between fields.
std::vector<double> ParseMatrixFile(const std::string& bytes) {
  std::vector<double> numbers;
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last CR LF: " << bytes.substr(pos);
      return numbers;
    }
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 2;
  }
  if (lines.size() != 4) {
    ADD_FAILURE() << "expected 4 lines, got " << lines.size() << ":\n" << bytes;
    return numbers;
  }
  const std::size_t length = lines[0].size();
  if (length < 7 || (length - 3) % 4 != 0) {
    ADD_FAILURE() << "line length " << length << " is not 4 fields of one width:\n" << bytes;
    return numbers;
  }
  const std::size_t width = (length - 3) / 4;
  bool some_field_full = false;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.size(), length) << bytes;
    if (line.size() != length) return {};
    for (std::size_t j = 0; j < 4; ++j) {
      if (j < 3) {
        EXPECT_EQ(line[j * (width + 1) + width], ' ') << bytes;
      }
      const std::string field = line.substr(j * (width + 1), width);
      const std::size_t start = field.find_first_not_of(' ');
      if (start == std::string::npos || field.find(' ', start) != std::string::npos) {
        ADD_FAILURE() << "field \"" << field << "\" is not one right-aligned number:\n" << bytes;
        return {};
      }
      some_field_full = some_field_full || start == 0;
      const std::string token = field.substr(start);
      char* stop = nullptr;
      numbers.push_back(std::strtod(token.c_str(), &stop));
      EXPECT_EQ(*stop, '\0') << "not a number: " << token;
    }
  }
  EXPECT_TRUE(some_field_full) << "the width is wider than the widest number:\n" << bytes;
  return numbers;
}

TEST(CalcMatrix, MeasuresTurnScaleAndMoveIntoActiveMatrix) {
  ScratchDir scratch;
  WriteBytes(scratch / "base.obj", kBase);
  WriteBytes(scratch / "transformed.obj", kTransformed);
  WriteBytes(scratch / "active.matrix", "replaced by the measurement\n");

  EXPECT_EQ(CalcInChild(scratch.Path()), "same topology\n");

  const std::optional<std::string> bytes = ReadBytes(scratch / "active.matrix");
  ASSERT_TRUE(bytes.has_value());
  const std::vector<double> m = ParseMatrixFile(*bytes);
  ASSERT_EQ(m.size(), 16u);
  const double expected[16] = {0, -2, 0, 10, 2, 0, 0, 20, 0, 0, 2, 30, 0, 0, 0, 1};
  for (int k = 0; k < 16; ++k) {
    EXPECT_NEAR(m[static_cast<std::size_t>(k)], expected[k], 1e-12)
        << "row " << k / 4 << " column " << k % 4 << " in\n"
        << *bytes;
  }
  EXPECT_EQ(ListDirectory(scratch.Path()),
            (std::vector<std::string>{"active.matrix", "base.obj", "transformed.obj"}));

  // The file the library wrote is the one an empty ApplyMatrix text uses.
  WriteBytes(scratch / "target.obj", "v 1 2 3\nvn 0 0 1\nf 1 1 1\n");
  Call("SetWorkingDirectory", scratch.Path().c_str());
  const Watched apply = CallWatched("ApplyMatrix", "", 1.0);
  EXPECT_TRUE(apply.windows.empty()) << Describe(apply.windows);
  EXPECT_EQ(ReadBytes(scratch / "applied.obj"),
            "v 6.000000 22.000000 36.000000 \r\nvn 0 0 1 \r\nf 1 1 1 \r\n\r\n");
  WriteBytes(scratch / "target.obj", "v 6 22 36\n");
  const Watched inverse = CallWatched("ApplyMatrixInverse", "", 1.0);
  EXPECT_TRUE(inverse.windows.empty()) << Describe(inverse.windows);
  EXPECT_EQ(ReadBytes(scratch / "applied.obj"), "v 1.000000 2.000000 3.000000 \r\n\r\n");
}

TEST(CalcMatrix, DifferentVertexCountsArePrintedAsDifferentTopology) {
  ScratchDir scratch;
  WriteBytes(scratch / "base.obj", kBase);
  WriteBytes(scratch / "transformed.obj", std::string(kTransformed) + "v 7 21 30\n");
  EXPECT_EQ(CalcInChild(scratch.Path()), "different topology\n");
}

TEST(CalcMatrix, UnmeasurablePairIsReportedAndKeepsActiveMatrix) {
  const std::wstring kFileOpenFailed =
      L"\u30D5\u30A1\u30A4\u30EB\u30AA\u30FC\u30D7\u30F3\u5931\u6557";
  struct Case {
    const char* name;
    const char* base;  // nullptr: no base.obj
    std::size_t boxes;
  };
  const Case cases[] = {
      {"one point three times", "v 1 1 1\nv 1 1 1\nv 1 1 1\n", 1},
      {"points on a line", "v 0 0 0\nv 1 0 0\nv 3 0 0\n", 1},
      {"no vertices", "# empty\n", 1},
      {"no base file", nullptr, 2},
  };
  const std::string previous = "0 0 0 1\r\n0 0 0 2\r\n0 0 0 3\r\n0 0 0 1\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    if (c.base != nullptr) WriteBytes(scratch / "base.obj", c.base);
    WriteBytes(scratch / "transformed.obj", kTransformed);
    WriteBytes(scratch / "active.matrix", previous);
    Call("SetWorkingDirectory", scratch.Path().c_str());

    const Watched w = CallWatched("CalcMatrix", "", 0.0);
    EXPECT_FALSE(w.timedOut);
    ASSERT_EQ(w.windows.size(), c.boxes) << Describe(w.windows);
    if (c.base == nullptr) {
      EXPECT_EQ(w.windows[0].caption, kFileOpenFailed);
      EXPECT_EQ(w.windows[0].text, Widen(scratch / "base.obj"));
    }
    EXPECT_EQ(w.windows.back().caption, L"CalcMatrix") << Describe(w.windows);
    EXPECT_FALSE(w.windows.back().text.empty());
    EXPECT_EQ(ReadBytes(scratch / "active.matrix"), previous);
    std::vector<std::string> expected_files = {"active.matrix", "transformed.obj"};
    if (c.base != nullptr) expected_files.insert(expected_files.begin() + 1, "base.obj");
    EXPECT_EQ(ListDirectory(scratch.Path()), expected_files);
  }
}

}  // namespace
}  // namespace kvtest
