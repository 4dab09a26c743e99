// stream_file apply IN.obj OUT.obj [THREADS=0] [BLOCK=0] [FROM] [RUNS=1]
// stream_file load IN.obj [THREADS=0] [BLOCK=0] [FROM] [RUNS=1]
// stream_file replay IN OUT [THREADS=0] [BLOCK=0] [FROM] [RUNS=1]
// stream_file read IN [THREADS=0] [BLOCK=0] [FROM] [RUNS=1]
//
// One replay (TransformObjFile, under the benchmarks' motion) or one vertex
// read (LoadObjVertices) as a whole process, for timing commands against each
// other with /usr/bin/time or a benchmark runner: THREADS 0 is one per core,
// 1 the single-thread path; BLOCK 0 the default block size; FROM the size from
// which a file is streamed on several threads (default kParallelFrom). With
// RUNS above 1 it repeats the call and prints the best wall and CPU time:
// two builds run in turn compare their code without the process around it.
// replay and read do the same for a mesh of any format (ReplayMeshFile, and
// ReadMesh with faces, as measuring reads); FROM is unused there.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/streaming.h"
#include "bench_util.h"
#include "obj/mesh_format.h"
#include "obj/obj_stream.h"
#include "platform/platform.h"
#include "text/error.h"

int main(int argc, char** argv) {
  using namespace korvane;
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool apply = mode == "apply" || mode == "replay";
  const bool any_format = mode == "replay" || mode == "read";
  if ((!apply && mode != "load" && mode != "read") || argc < (apply ? 4 : 3)) {
    std::fprintf(stderr,
                 "usage: stream_file apply IN.obj OUT.obj [THREADS] [BLOCK] [FROM] [RUNS]\n"
                 "       stream_file load IN.obj [THREADS] [BLOCK] [FROM] [RUNS]\n"
                 "       stream_file replay IN OUT [THREADS] [BLOCK] [FROM] [RUNS]\n"
                 "       stream_file read IN [THREADS] [BLOCK] [FROM] [RUNS]\n");
    return 2;
  }
  const int first_option = apply ? 4 : 3;
  obj::StreamOptions options;
  options.threads = static_cast<unsigned>(bench::NumberArg(argc, argv, first_option, 0));
  options.block = bench::NumberArg(argc, argv, first_option + 1, 0);
  options.parallelFrom = bench::NumberArg(argc, argv, first_option + 2, api::kParallelFrom);
  options.returnFreeMemory = true;  // as the commands load
  const std::size_t runs = bench::NumberArg(argc, argv, first_option + 3, 1);
  try {
    bench::Timing best;
    std::size_t vertices = 0;
    for (std::size_t run = 0; run < runs; ++run) {
      best.Run([&] {
        if (apply && any_format) {
          obj::ReplayMeshFile(argv[2], argv[3], bench::BenchMotion(), options);
        } else if (apply) {
          obj::TransformObjFile(argv[2], argv[3], bench::BenchMotion(), options);
        } else if (any_format) {
          obj::Mesh mesh;
          obj::ReadMesh(argv[2], mesh, true, options);
          vertices = mesh.vertices.size();
        } else {
          std::vector<geometry::Vector3> v;
          obj::LoadObjVertices(argv[2], v, options);
          vertices = v.size();
        }
      });
    }
    if (!apply) std::printf("%zu vertices\n", vertices);
    if (runs > 1) {
      std::printf("best of %zu: %.1f ms wall, %.1f ms CPU\n", runs, best.wall * 1e3,
                  best.cpu * 1e3);
    }
  } catch (const Error& e) {
    std::fprintf(stderr, "stream_file: %s\n", platform::ToUtf8(e.message()).c_str());
    return 1;
  }
  return 0;
}
