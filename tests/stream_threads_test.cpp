// Streaming on several threads against the single-thread path: the same bytes
// written, the same vertices read, the same error for the same line, the old
// output kept and no temporary file left. Blocks far smaller than the lines
// put block boundaries everywhere: inside tokens, between CR and LF, inside
// lines longer than a block.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "api/streaming.h"
#include "obj/obj_stream.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

struct Outcome {
  std::string written;  // applied file afterwards ("previous" unless replaced)
  std::string error;
  std::vector<Vector3> vertices;
  std::string vertexError;
  std::vector<std::string> files;
};

// `from` 0: every file, however small, goes through the blocks; otherwise the
// threads take over after that many bytes, somewhere in the file.
obj::StreamOptions Options(unsigned threads, std::size_t block, std::size_t max_piece,
                           std::size_t from = 0) {
  obj::StreamOptions o;
  o.threads = threads;
  o.block = block;
  o.parallelFrom = from;
  o.maxPiece = max_piece;
  return o;
}

Outcome Stream(const ScratchDir& dir, const Matrix4& m, const obj::StreamOptions& o) {
  Outcome r;
  WriteFile(dir / "out.obj", "previous");
  try {
    obj::TransformObjFile(dir / "in.obj", dir / "out.obj", m, o);
  } catch (const Error& e) {
    r.error = platform::ToUtf8(e.message());
  }
  r.written = ReadFile(dir / "out.obj");
  r.files = dir.Entries();
  try {
    obj::LoadObjVertices(dir / "in.obj", r.vertices, o);
  } catch (const Error& e) {
    r.vertexError = platform::ToUtf8(e.message());
  }
  return r;
}

bool SameBits(const std::vector<Vector3>& a, const std::vector<Vector3>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Vector3)) == 0);
}

void ExpectSame(const Outcome& want, const Outcome& got, const std::string& what) {
  EXPECT_EQ(want.error, got.error) << what;
  EXPECT_TRUE(want.written == got.written) << what;
  EXPECT_EQ(want.files, got.files) << what;
  EXPECT_EQ(want.vertexError, got.vertexError) << what;
  EXPECT_TRUE(SameBits(want.vertices, got.vertices)) << what;
}

std::vector<Matrix4> Motions() {
  Matrix4 turn = IdentityMatrix4();
  turn.matrix() << 0.36, 0.48, -0.8, 1.5, -0.8, 0.6, 0.0, -2.25, 0.48, 0.64, 0.6, 1e-7, 0, 0, 0, 1;
  // Short vertex lines grow a hundredfold under this one: workers must hand
  // their blocks back part done rather than hold all of it.
  Matrix4 huge = IdentityMatrix4();
  huge.matrix().diagonal() << 1e300, -1e300, 1e300, 1;
  return {turn, huge};
}

TEST(StreamThreads, RandomTextSameAsOneThread) {
  ScratchDir dir;
  std::mt19937 rng(2024);
  const std::string parts[] = {"v",
                               " ",
                               "  ",
                               "1",
                               "-2.5",
                               "0x1p3",
                               "abc",
                               "#",
                               "\r",
                               "\t",
                               "vn",
                               "\n",
                               "\r\n",
                               "7e-3",
                               "f",
                               "1/2/3",
                               "\n\n",
                               "1e999",
                               "v 1 2 3\n",
                               "v 4 5 6 0.5\r\n",
                               "vt 0 1\n",
                               std::string(23, 'x'),
                               std::string(9, ' ')};
  const std::vector<Matrix4> motions = Motions();
  int errors = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    const auto n = rng() % 60;
    for (unsigned k = 0; k < n; ++k) bytes += parts[rng() % (sizeof parts / sizeof *parts)];
    WriteFile(dir / "in.obj", bytes);
    const Matrix4& m = motions[static_cast<std::size_t>(round) % motions.size()];
    // Some rounds cut long lines into small pieces too.
    const std::size_t max_piece = round % 3 == 0 ? 11 : obj::kMaxLinePiece;
    const Outcome want = Stream(dir, m, Options(1, 0, max_piece));
    if (!want.error.empty()) ++errors;
    for (const std::size_t block : {1u, 3u, 8u, 64u}) {
      const unsigned threads = 2 + static_cast<unsigned>(round % 3);
      const std::size_t from = round % 2 == 0 ? 0 : rng() % 40;
      ExpectSame(want, Stream(dir, m, Options(threads, block, max_piece, from)),
                 ::testing::PrintToString(bytes) + " block " + std::to_string(block) + " from " +
                     std::to_string(from));
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(errors, 20) << "the rounds should meet unreadable vertex lines too";
}

// A mesh of a few hundred kilobytes, CR LF on some lines, with `bad` lines
// put in at the given line numbers (ascending).
std::string Mesh(int vertices, const std::vector<std::pair<std::size_t, std::string>>& bad) {
  std::vector<std::string> lines = {"# generated\r", "o body"};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coordinate(-1000, 1000);
  for (int i = 0; i < vertices; ++i) {
    lines.push_back("v " + std::to_string(coordinate(rng)) + " " + std::to_string(coordinate(rng)) +
                    "  " + std::to_string(coordinate(rng)) + (i % 5 == 0 ? "\r" : ""));
    lines.push_back("vt 0.25 0.75");
    lines.push_back("f " + std::to_string(i + 1) + "/1 1/1 2/2");
  }
  for (const auto& [at, text] : bad) lines.insert(lines.begin() + static_cast<long>(at - 1), text);
  std::string s;
  for (const std::string& line : lines) s += line + "\n";
  return s;
}

TEST(StreamThreads, MeshesAndLateErrorsSameAsOneThread) {
  ScratchDir dir;
  const Matrix4 m = Motions()[0];
  const struct {
    const char* name;
    std::vector<std::pair<std::size_t, std::string>> bad;
    std::string tail;
  } cases[] = {
      {"clean, final line feed", {}, ""},
      {"clean, no final line feed", {}, "f 1 2 3"},
      {"two bad lines near the end", {{14000, "v 1 x 3"}, {14003, "v 1e999 0 0"}}, ""},
      {"bad last line", {}, "v 1 2"},
      {"bad line early, another late", {{4, "v 1e-400 0 0"}, {14500, "v q 0 0"}}, ""},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "in.obj", Mesh(5000, c.bad) + c.tail);
    const Outcome want = Stream(dir, m, Options(1, 0, obj::kMaxLinePiece));
    const std::string first_bad =
        c.bad.empty() ? "15003" : std::to_string(c.bad.front().first);  // the tail is line 15003
    EXPECT_EQ(want.error.empty(), c.bad.empty() && c.tail != "v 1 2") << c.name;
    if (!want.error.empty()) {
      EXPECT_NE(want.error.find(" line " + first_bad + ": "), std::string::npos) << want.error;
    }
    for (const std::size_t block : {4096u, 65543u}) {
      for (const std::size_t from : {std::size_t{0}, std::size_t{100000}}) {
        ExpectSame(want, Stream(dir, m, Options(3, block, obj::kMaxLinePiece, from)),
                   std::string(c.name) + ", block " + std::to_string(block) + ", from " +
                       std::to_string(from));
      }
    }
  }
  // Lines longer than a block, among short ones: pieces for the one longer
  // than a piece, whole for the others.
  WriteFile(dir / "in.obj", "v 1 2 3\n# " + std::string(300000, 'c') + "\r\nv 4 5 6 " +
                                std::string(5000, '7') + "\n" + Mesh(300, {}) + "g " +
                                std::string(70000, 'g'));
  for (const std::size_t max_piece : {std::size_t{100000}, obj::kMaxLinePiece}) {
    const Outcome want = Stream(dir, m, Options(1, 0, max_piece));
    ASSERT_EQ(want.error, "");
    ExpectSame(want, Stream(dir, m, Options(2, 4096, max_piece)),
               "long lines, piece " + std::to_string(max_piece));
  }
}

// The default options, as the commands use them: a file over the threshold
// goes through the blocks and still writes what one thread writes. It
// replaces an earlier output and is long enough for its write-back to be
// started several times on the way.
TEST(StreamThreads, DefaultOptionsAboveTheThreshold) {
  ScratchDir dir;
  std::string bytes = Mesh(1000, {});
  while (bytes.size() < std::max<std::size_t>(3 * api::kParallelFrom, 40u << 20)) bytes += bytes;
  WriteFile(dir / "in.obj", bytes);
  const obj::StreamOptions one = api::StreamingOptions(1);
  const obj::StreamOptions all = api::StreamingOptions(4);  // whatever this machine has
  ExpectSame(Stream(dir, Motions()[0], one), Stream(dir, Motions()[0], all), "defaults");
}

// The file stops reading at byte `at`: the read that reaches it returns the
// bytes before it, the next one fails as a disk error would.
class FailingReads : public testing::FakePlatform {
 public:
  explicit FailingReads(std::size_t at) : at_(at) {}
  bool ReadFile(std::FILE* file, char* data, std::size_t n, std::size_t& got) override {
    const auto done = static_cast<std::size_t>(std::ftell(file));
    if (done >= at_) {
      got = 0;
      errno = EIO;
      return false;
    }
    return Platform::ReadFile(file, data, std::min(n, at_ - done), got);
  }

 private:
  std::size_t at_;
};

// A read that fails part way comes after the whole lines read before it: a bad
// number among them is the error reported, on one thread as on several, by
// the vertex reader and the replay alike; the earlier output stays.
TEST(StreamThreads, ReadFailuresComeAfterTheLinesReadBeforeThem) {
  ScratchDir dir;
  std::string mesh;
  for (int i = 0; i < 3000; ++i) mesh += "v " + std::to_string(i) + " 0.5 -1\nvn 0 0 1\n";
  const std::size_t fail_at = mesh.size() / 2;
  // The last whole line before the failure holds a bad number.
  const std::size_t line_start = mesh.rfind('\n', mesh.rfind('\n', fail_at - 1) - 1) + 1;
  const auto line = static_cast<std::uint64_t>(
      std::count(mesh.begin(), mesh.begin() + static_cast<std::ptrdiff_t>(line_start), '\n') + 1);
  std::string bad = mesh;
  bad.replace(line_start, 2, "v x");
  for (const bool with_bad_line : {false, true}) {
    WriteFile(dir / "in.obj", with_bad_line ? bad : mesh);
    for (const unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads" +
                   (with_bad_line ? ", bad line " + std::to_string(line) : ""));
      FailingReads failing(fail_at);
      const Outcome got =
          Stream(dir, IdentityMatrix4(), Options(threads, 4096, obj::kMaxLinePiece));
      const std::string expected =
          with_bad_line ? "in.obj line " + std::to_string(line) + ": invalid stod argument"
                        : "cannot read";
      EXPECT_NE(got.error.find(expected), std::string::npos) << got.error;
      EXPECT_NE(got.vertexError.find(expected), std::string::npos) << got.vertexError;
      EXPECT_EQ(got.written, "previous");
      EXPECT_EQ(got.files, (std::vector<std::string>{"in.obj", "out.obj"}));
    }
  }
}

}  // namespace
}  // namespace korvane
