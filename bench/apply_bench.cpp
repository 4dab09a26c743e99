// apply_bench [VERTICES=1000000] [DIR=/tmp] [THREADS=0]
//
// Replays a motion on a generated exporter-like mesh with TransformObjFile on
// THREADS threads (0: one per core), with TransformObjFile on the calling
// thread alone, with the straightforward streaming implementation and with
// the literal document design (every line held, every number converted
// twice, the whole text built before one write); checks that all four wrote
// the same bytes and reports the times and the speed-ups (goals: threads at
// least 1.7x one thread and 30x the literal design, wall clock). The files live in a scratch
// directory under DIR, removed at the end.
#include <cstdio>
#include <string>

#include "api/streaming.h"
#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "literal_document.h"
#include "obj/obj_stream.h"
#include "straightforward.h"

int main(int argc, char** argv) {
  using namespace korvane;
  using namespace korvane::geometry;
  cli::MeshOptions options;
  options.vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const obj::StreamOptions threaded =
      api::StreamingOptions(argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 0);
  const obj::StreamOptions single = api::StreamingOptions(1);
  const std::string target = dir / "target.obj";
  const std::string threaded_out = dir / "applied_threads.obj";
  const std::string single_out = dir / "applied_single.obj";
  const std::string plain_out = dir / "applied_plain.obj";
  const std::string literal_out = dir / "applied_literal.obj";
  if (!cli::WriteSurfaceObj(target, options, IdentityMatrix4())) {
    std::fprintf(stderr, "cannot write %s\n", target.c_str());
    return 1;
  }
  const Matrix4 m = bench::BenchMotion();
  const std::uint64_t bytes = bench::FileSize(target);
  std::printf("target: %llu vertices requested, %.1f MB (v, vt, vn, f); %zu threads\n",
              static_cast<unsigned long long>(options.vertices), bench::Megabytes(bytes),
              obj::StreamThreads(threaded.threads));

  // Rounds alternate the contestants so all meet the same background load;
  // the freshly written target is in the page cache for all.
  bench::Timing fast;
  bench::Timing one;
  bench::Timing plain;
  bench::Timing literal;
  for (int round = 0; round < 3; ++round) {
    fast.Run([&] { obj::TransformObjFile(target, threaded_out, m, threaded); });
    one.Run([&] { obj::TransformObjFile(target, single_out, m, single); });
    plain.Run([&] { baseline::ApplyStraightforwardToFile(target, plain_out, m); });
    literal.Run([&] { baseline::ApplyLiteralDocument(target, literal_out, m); });
    fast.Run([&] { obj::TransformObjFile(target, threaded_out, m, threaded); });
    one.Run([&] { obj::TransformObjFile(target, single_out, m, single); });
  }
  const std::string want = bench::ReadBytes(plain_out);
  const bool same = bench::ReadBytes(threaded_out) == want &&
                    bench::ReadBytes(single_out) == want && bench::ReadBytes(literal_out) == want;

  const double mb = bench::Megabytes(bytes);
  std::printf("                       wall       MB/s       CPU\n");
  const auto row = [&](const char* name, const bench::Timing& t) {
    std::printf("%-18s %8.3f s  %7.1f  %8.3f s\n", name, t.wall, mb / t.wall, t.cpu);
  };
  row("threads", fast);
  row("one thread", one);
  row("straightforward", plain);
  row("literal document", literal);
  std::printf("threads vs one thread:      %5.2fx (wall); goal >= 1.7x: %s\n", one.wall / fast.wall,
              one.wall / fast.wall >= 1.7 ? "met" : "NOT met");
  std::printf("threads vs literal document: %5.1fx (wall); goal >= 30x: %s\n",
              literal.wall / fast.wall, literal.wall / fast.wall >= 30.0 ? "met" : "NOT met");
  std::printf("threads vs straightforward: %5.1fx (wall)\n", plain.wall / fast.wall);
  std::printf(
      "one thread vs straightforward: %.1fx (wall), %.1fx (CPU); vs literal: %.1fx (wall)\n",
      plain.wall / one.wall, plain.cpu / one.cpu, literal.wall / one.wall);
  std::printf("output            %s\n", same ? "identical bytes" : "MISMATCH");
  return same ? 0 : 1;
}
