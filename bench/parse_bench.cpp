// parse_bench [VERTICES=1000000] [DIR=/tmp]
//
// Reads the vertex positions of a generated exporter-like mesh with
// LoadObjVertices and loads the same file with tinyobjloader's LoadObj (the
// double-precision build Debian ships), the goal being at least 3x faster.
// LoadObj is timed as callers use it (triangulating) and without
// triangulation; the straightforward reader is shown for scale.
#include <tiny_obj_loader.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "obj/obj_stream.h"
#include "straightforward.h"

namespace {

struct TinyResult {
  tinyobj::attrib_t attrib;
  std::vector<tinyobj::shape_t> shapes;
  std::vector<tinyobj::material_t> materials;
  bool ok = false;
};

TinyResult LoadWithTiny(const std::string& path, const std::string& dir, bool triangulate) {
  TinyResult r;
  std::string warn;
  std::string err;
  // The generated mesh names a material library that does not exist; that
  // costs a warning only.
  r.ok = tinyobj::LoadObj(&r.attrib, &r.shapes, &r.materials, &warn, &err, path.c_str(),
                          dir.c_str(), triangulate);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvane;
  using namespace korvane::geometry;
  cli::MeshOptions options;
  options.vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const std::string target = dir / "target.obj";
  if (!cli::WriteSurfaceObj(target, options, IdentityMatrix4())) {
    std::fprintf(stderr, "cannot write %s\n", target.c_str());
    return 1;
  }
  const std::uint64_t bytes = bench::FileSize(target);

  // Rounds alternate the readers so all meet the same background load.
  std::vector<Vector3> ours;
  TinyResult tiny;
  std::vector<Eigen::Vector3d> plain_vertices;
  bench::Timing fast;
  bench::Timing tiny_tri;
  bench::Timing tiny_plain;
  bench::Timing plain;
  for (int round = 0; round < 3; ++round) {
    fast.Run([&] { obj::LoadObjVertices(target, ours); });
    tiny_tri.Run([&] { tiny = LoadWithTiny(target, dir / "", true); });
    fast.Run([&] { obj::LoadObjVertices(target, ours); });
    tiny_plain.Run([&] { tiny = LoadWithTiny(target, dir / "", false); });
  }
  for (int round = 0; round < 2; ++round) {
    plain.Run([&] { plain_vertices = baseline::VerticesStraightforward(target); });
  }

  // Same positions? tinyobjloader's own number reader may differ in the last bit.
  const std::vector<tinyobj::real_t>& tv = tiny.attrib.vertices;
  bool same_count = tiny.ok && tv.size() == 3 * ours.size();
  double worst = 0.0;
  for (std::size_t i = 0; same_count && i < ours.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) {
      worst = std::max(worst, std::abs(static_cast<double>(tv[3 * i + k]) -
                                       ours[i][static_cast<Eigen::Index>(k)]));
    }
  }
  const bool same_as_plain = plain_vertices == ours;

  const double mb = bench::Megabytes(bytes);
  const auto row = [&](const char* name, const bench::Timing& t) {
    std::printf("%-30s %8.3f s  %7.1f MB/s  %8.3f s CPU", name, t.wall, mb / t.wall, t.cpu);
    if (&t != &fast) std::printf("  %5.1fx (CPU %.1fx)", t.wall / fast.wall, t.cpu / fast.cpu);
    std::printf("\n");
  };
  std::printf("target: %zu vertices, %.1f MB (v, vt, vn, f)\n", ours.size(), mb);
  row("LoadObjVertices", fast);
  row("tinyobj::LoadObj", tiny_tri);
  row("tinyobj::LoadObj, no triangles", tiny_plain);
  row("straightforward", plain);
  std::printf("goal: LoadObj >= 3x the CPU time of LoadObjVertices: %s\n",
              tiny_tri.cpu / fast.cpu >= 3.0 ? "met" : "NOT met");
  std::printf("positions: tinyobj %s (largest difference %.3g), straightforward %s\n",
              same_count ? "same count" : "COUNT MISMATCH", worst,
              same_as_plain ? "identical" : "MISMATCH");
  return same_count && same_as_plain ? 0 : 1;
}
