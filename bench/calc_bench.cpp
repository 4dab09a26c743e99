// calc_bench [VERTICES=1000000] [DIR=/tmp] [FARTHEST_VERTICES=20000]
//
// Measuring a motion costs loading both meshes plus choosing the reference
// vertices. This times MeasureMotion against loading the two vertex lists
// alone, for meshes of different vertex counts (exhaustive rule; the goal is
// under 2x the loading time) and of the same topology (axis rule), then the
// exhaustive rule against its literal double loop on one mesh's positions.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "geometry/farthest.h"
#include "api/mesh_commands.h"
#include "obj/obj_stream.h"
#include "platform/platform.h"

namespace {

using korvane::platform::Platform;

// The real platform without the topology line on the console.
class QuietPlatform final : public Platform {
 public:
  QuietPlatform() : previous_(korvane::platform::Install(this)) {}
  ~QuietPlatform() override { korvane::platform::Install(previous_); }
  void ShowMessage(const korvane::text::Message& caption,
                   const korvane::text::Message& text) override {
    korvane::platform::Native().ShowMessage(caption, text);
  }
  bool PathExists(const std::string& path) override {
    return korvane::platform::Native().PathExists(path);
  }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    return korvane::platform::Native().CopyFileReplacing(from, to);
  }
  std::optional<std::string> ShowFileDialog(const korvane::platform::FileDialog&) override {
    return std::nullopt;
  }
  void WriteConsoleLine(std::string_view) override {}

 private:
  Platform* previous_;
};

// Times MeasureMotion and the loading it cannot avoid on one pair of files.
void CompareWithLoading(const char* label, const std::string& base, const std::string& moved) {
  using namespace korvane;
  using namespace korvane::geometry;
  std::vector<Vector3> a;
  std::vector<Vector3> b;
  api::Measurement m;
  bench::Timing load;
  bench::Timing measure;
  // Alternated so both meet the same background load.
  for (int round = 0; round < 3; ++round) {
    load.Run([&] {
      obj::LoadObjVertices(base, a);
      obj::LoadObjVertices(moved, b);
    });
    measure.Run([&] { m = api::MeasureFiles(base, moved, "active.matrix"); });
  }
  const double ratio = measure.cpu / load.cpu;
  std::printf("%s: %zu and %zu vertices (%s)\n", label, a.size(), b.size(),
              m.sameTopology ? "same topology" : "different topology");
  std::printf("  load both       %8.3f s  (CPU %.3f s)\n", load.wall, load.cpu);
  std::printf(
      "  MeasureMotion   %8.3f s  (CPU %.3f s) = %.2fx loading, CPU %.2fx (goal < 2x CPU: %s)\n",
      measure.wall, measure.cpu, measure.wall / load.wall, ratio, ratio < 2.0 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvane;
  using namespace korvane::geometry;
  const QuietPlatform quiet;
  const std::uint64_t n = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const std::uint64_t farthest_n = bench::CountArg(argc, argv, 3, 20000);
  const Matrix4 motion = bench::BenchMotion();

  cli::MeshOptions base;
  base.vertices = n;
  base.seed = 1;
  cli::MeshOptions other = base;
  other.vertices = n - n / 20;  // a remeshed copy: a different grid
  other.seed = 2;
  const std::string base_path = dir / "base.obj";
  const std::string same_path = dir / "same.obj";
  const std::string other_path = dir / "other.obj";
  if (!cli::WriteSurfaceObj(base_path, base, IdentityMatrix4()) ||
      !cli::WriteSurfaceObj(same_path, base, motion) ||
      !cli::WriteSurfaceObj(other_path, other, motion)) {
    std::fprintf(stderr, "cannot write the meshes\n");
    return 1;
  }
  try {
    CompareWithLoading("different vertex counts", base_path, other_path);
    CompareWithLoading("same topology", base_path, same_path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MeasureMotion failed: %s\n", e.what());
    return 1;
  }

  cli::MeshOptions small;
  small.vertices = farthest_n;
  const std::vector<Vector3> points = cli::SurfacePositions(small);
  ReferenceIndices fast;
  ReferenceIndices literal;
  const double fast_s = bench::BestOf(7, [&] { fast = FarthestPointExhaustive(points); }).wall;
  const double literal_s =
      bench::BestOf(1, [&] { literal = FarthestPointExhaustiveLiteral(points); }).wall;
  const bool same = fast.a == literal.a && fast.b == literal.b && fast.c == literal.c;
  std::printf("farthest points, %zu vertices:\n", points.size());
  std::printf("  FarthestPointExhaustive         %10.3f ms  (%d, %d, %d)\n", 1e3 * fast_s, fast.a,
              fast.b, fast.c);
  std::printf("  FarthestPointExhaustiveLiteral  %10.3f ms  (%d, %d, %d)  speed-up %.0fx, %s\n",
              1e3 * literal_s, literal.a, literal.b, literal.c, literal_s / fast_s,
              same ? "same indices" : "MISMATCH");
  return same ? 0 : 1;
}
