// gen_mesh OUT.obj VERTICES [SEED]
//
// Writes an exporter-like mesh (comment header, groups, v, vt, vn, quads as
// "f a/b/c") of about VERTICES vertices, for the benchmarks and for trying
// the command-line host on big files. The text is produced in blocks, so
// tens of millions of vertices need no more memory than a thousand.
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "cli/mesh_generator.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: gen_mesh OUT.obj VERTICES [SEED]\n");
    return 2;
  }
  korvane::cli::MeshOptions options;
  options.vertices = korvane::bench::CountArg(argc, argv, 2, 0);
  options.seed = korvane::bench::CountArg(argc, argv, 3, 1);
  const std::string out = argv[1];
  if (!korvane::cli::WriteSurfaceObj(out, options, korvane::geometry::IdentityMatrix4())) {
    std::fprintf(stderr, "gen_mesh: cannot write %s\n", out.c_str());
    return 1;
  }
  // The grid rounds the count; the header states the real one.
  std::ifstream in(out);
  std::string header;
  std::getline(in, header);
  std::getline(in, header);
  std::printf("%s: %s, %.1f MB\n", out.c_str(),
              (header.size() > 2 ? header.substr(2) : header).c_str(),
              korvane::bench::Megabytes(korvane::bench::FileSize(out)));
  return 0;
}
