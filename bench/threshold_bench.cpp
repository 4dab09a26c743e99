// threshold_bench [DIR=/tmp] [THREADS=0] [RUNS=15]
//
// Where threads start to pay: replays generated meshes of 32 KB to 8 MB with
// TransformObjFile on the calling thread and on THREADS threads (0: one per
// core; every size through the blocks), best of RUNS each, alternated. Files
// below the size where the threaded time drops under the single one stay on
// the calling thread (kParallelFrom).
#include <cstdio>
#include <string>

#include "api/streaming.h"
#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "obj/obj_stream.h"

int main(int argc, char** argv) {
  using namespace korvane;
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 1));
  obj::StreamOptions threaded;
  threaded.threads = argc > 2 ? static_cast<unsigned>(std::stoul(argv[2])) : 0;
  threaded.parallelFrom = 0;
  obj::StreamOptions single;
  single.threads = 1;
  const int runs = static_cast<int>(bench::CountArg(argc, argv, 3, 15));
  const geometry::Matrix4 m = bench::BenchMotion();
  const std::string target = dir / "target.obj";
  const std::string out = dir / "applied.obj";
  std::printf("%zu threads, kParallelFrom = %zu bytes\n", obj::StreamThreads(threaded.threads),
              api::kParallelFrom);
  std::printf("%10s %12s %12s %8s\n", "bytes", "one thread", "threads", "ratio");
  // About 167 bytes of mesh per vertex.
  for (std::uint64_t vertices = 200; vertices <= 51200; vertices *= 2) {
    cli::MeshOptions options;
    options.vertices = vertices;
    if (!cli::WriteSurfaceObj(target, options, geometry::IdentityMatrix4())) return 1;
    bench::Timing one;
    bench::Timing many;
    for (int i = 0; i < runs; ++i) {
      one.Run([&] { obj::TransformObjFile(target, out, m, single); });
      many.Run([&] { obj::TransformObjFile(target, out, m, threaded); });
    }
    std::printf("%10llu %10.3f ms %10.3f ms %7.2fx\n",
                static_cast<unsigned long long>(bench::FileSize(target)), 1e3 * one.wall,
                1e3 * many.wall, one.wall / many.wall);
  }
  return 0;
}
