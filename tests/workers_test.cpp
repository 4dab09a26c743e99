// A system that will not start threads (or only a few) must cost speed only:
// the fits, the surface index and the replay finish with the same bits as on
// one thread, and nothing aborts.
#include "platform/workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "fit_meshes.h"
#include "matrix/fit_report.h"
#include "obj/obj_stream.h"
#include "split_mix.h"
#include "test_support.h"

namespace korvane {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

// Starts the first `allowed` threads asked for and refuses every later one.
class RefusingThreads : public testing::FakePlatform {
 public:
  explicit RefusingThreads(int allowed) : allowed_(allowed) {}
  bool StartThread(std::thread& out, std::function<void()> body) override {
    if (started_.fetch_add(1) >= allowed_) {
      ++refused;
      return false;
    }
    return Platform::StartThread(out, std::move(body));
  }
  std::atomic<int> refused{0};

 private:
  int allowed_;
  std::atomic<int> started_{0};
};

std::string ReplayText(const ScratchDir& dir, const Matrix4& m, unsigned threads) {
  obj::StreamOptions o;
  o.threads = threads;
  o.block = 4096;  // many blocks, so that every thread gets some
  o.parallelFrom = 0;
  obj::TransformObjFile(dir / "in.obj", dir / "out.obj", m, o);
  return ReadFile(dir / "out.obj");
}

TEST(Workers, FewerThreadsThanAskedGiveTheSameResults) {
  const obj::Mesh base = testing::GeneratedMesh(20000, 3);
  testing::SplitMix rng(11);
  obj::Mesh moved = testing::Shuffle(base, rng);
  moved.vertices = testing::MovedRounded(moved.vertices, testing::RandomSimilarity(rng, 2.0));
  geometry::FitOptions icp;
  icp.kind = geometry::FitKind::icp;
  icp.threads = 1;
  const matrix::FitReport alone = matrix::MeasureFit(base, moved, icp);
  ASSERT_TRUE(alone.result.fits) << testing::VerdictText(alone);

  ScratchDir dir;
  std::string mesh;
  for (const Vector3& v : base.vertices)
    mesh += "v " + std::to_string(v.x()) + " " + std::to_string(v.y()) + " " +
            std::to_string(v.z()) + "\nvn 0 0 1\n";
  WriteFile(dir / "in.obj", mesh);
  const std::string replayed = ReplayText(dir, alone.matrix, 1);

  for (const int allowed : {0, 1, 3}) {
    SCOPED_TRACE("threads started: " + std::to_string(allowed));
    RefusingThreads platform(allowed);
    std::atomic<std::size_t> done{0};
    platform::ParallelTasks(1000, 8, [&](std::size_t) { ++done; });
    EXPECT_EQ(done, 1000u);

    icp.threads = 4;
    const matrix::FitReport fewer = matrix::MeasureFit(base, moved, icp);
    EXPECT_EQ(fewer.matrix.matrix(), alone.matrix.matrix());
    EXPECT_EQ(fewer.result.iterations, alone.result.iterations);
    EXPECT_EQ(ReplayText(dir, alone.matrix, 4), replayed);
    EXPECT_GT(platform.refused, 0) << "no thread was refused: the seam is not in use";
  }
}

}  // namespace
}  // namespace korvane
