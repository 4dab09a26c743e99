// apply_bench [VERTICES=1000000] [DIR=/tmp]
//
// Replays a motion on a generated exporter-like mesh twice, with the
// streaming TransformObjFile and with the straightforward implementation,
// checks that both wrote the same bytes and reports both times, the
// throughput and the speed-up (the goal is at least 10x). The files live in
// a scratch directory under DIR and are removed at the end.
#include <cstdio>
#include <string>

#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "obj/obj_stream.h"
#include "straightforward.h"

int main(int argc, char** argv) {
  using namespace korvane;
  using namespace korvane::geometry;
  cli::MeshOptions options;
  options.vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const std::string target = dir / "target.obj";
  const std::string fast_out = dir / "applied_fast.obj";
  const std::string plain_out = dir / "applied_plain.obj";
  if (!cli::WriteSurfaceObj(target, options, IdentityMatrix4())) {
    std::fprintf(stderr, "cannot write %s\n", target.c_str());
    return 1;
  }
  const Matrix4 m = bench::BenchMotion();
  const std::uint64_t bytes = bench::FileSize(target);
  std::printf("target: %llu vertices requested, %.1f MB (v, vt, vn, f)\n",
              static_cast<unsigned long long>(options.vertices), bench::Megabytes(bytes));

  // Rounds alternate the contestants so both meet the same background load;
  // the freshly written target is in the page cache for both.
  bench::Timing fast;
  bench::Timing plain;
  for (int round = 0; round < 3; ++round) {
    fast.Run([&] { obj::TransformObjFile(target, fast_out, m); });
    plain.Run([&] { baseline::ApplyStraightforwardToFile(target, plain_out, m); });
    fast.Run([&] { obj::TransformObjFile(target, fast_out, m); });
  }
  const bool same = bench::ReadBytes(fast_out) == bench::ReadBytes(plain_out);

  const double mb = bench::Megabytes(bytes);
  std::printf("                      wall       MB/s       CPU\n");
  std::printf("TransformObjFile  %8.3f s  %7.1f  %8.3f s\n", fast.wall, mb / fast.wall, fast.cpu);
  std::printf("straightforward   %8.3f s  %7.1f  %8.3f s\n", plain.wall, mb / plain.wall,
              plain.cpu);
  std::printf("speed-up          %8.1fx (wall), %.1fx (CPU); goal >= 10x (CPU): %s\n",
              plain.wall / fast.wall, plain.cpu / fast.cpu,
              plain.cpu / fast.cpu >= 10.0 ? "met" : "NOT met");
  std::printf("output            %s\n", same ? "identical bytes" : "MISMATCH");
  return same ? 0 : 1;
}
