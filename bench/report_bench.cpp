// The fit report against loading what it needs, in turn:
//
//   report_bench [VERTICES=1000000] [DIR=/tmp] [RUNS=7] [THREADS=0 (all cores)]
//
// Two generated meshes of about VERTICES vertices each, the second moved by
// BenchMotion, written as OBJ files. Each run times, one after the other:
//   load    LoadObjVertices of the base and LoadObjMesh of the moved mesh
//           (its vertices and faces): everything the report reads;
//   report  matrix::MeasureFit with the three-point motion: the surface
//           index, the three-point rule, every base vertex's surface
//           distance, the paired distances and their statistics.
// THREADS is passed to the base's vertex reading and to the report
// (LoadObjMesh reads the moved mesh's vertices on every core).
// Both are timed on the wall clock and in process CPU time; the ratio of
// each run's report to its own load is printed, then the medians. The last
// lines give the results in hexadecimal and a hash of every surface
// distance, to compare two builds bit for bit.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "api/streaming.h"
#include "bench_util.h"
#include "cli/mesh_generator.h"
#include "matrix/fit_report.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"

namespace {

using namespace korvane;
using geometry::Matrix4;
using geometry::Vector3;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// FNV-1a over the bytes of every value.
std::uint64_t Hash(const std::vector<double>& v) {
  std::uint64_t h = 1469598103934665603ull;
  for (const double x : v) {
    unsigned char b[sizeof x];
    std::memcpy(b, &x, sizeof x);
    for (const unsigned char c : b) h = (h ^ c) * 1099511628211ull;
  }
  return h;
}

void PrintStats(const char* name, const geometry::ResidualStats& s) {
  std::printf("%s: count %zu rms %a median %a p95 %a max %a\n", name, s.count, s.rms, s.median,
              s.p95, s.max);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const auto runs = static_cast<int>(bench::CountArg(argc, argv, 3, 7));
  const auto threads = static_cast<unsigned>(bench::NumberArg(argc, argv, 4, 0));

  cli::MeshOptions o;
  o.vertices = vertices;
  const std::string base_path = dir / "base.obj", moved_path = dir / "moved.obj";
  if (!cli::WriteSurfaceObj(base_path, o, geometry::IdentityMatrix4()) ||
      !cli::WriteSurfaceObj(moved_path, o, bench::BenchMotion())) {
    std::fprintf(stderr, "cannot write the meshes\n");
    return 1;
  }
  std::printf(
      "meshes: %.1f MB and %.1f MB; %u threads for the queries, %u cores\n",
      bench::Megabytes(bench::FileSize(base_path)), bench::Megabytes(bench::FileSize(moved_path)),
      geometry::BatchThreads(~std::size_t{0}, threads), std::thread::hardware_concurrency());

  const obj::StreamOptions stream = api::StreamingOptions(threads);
  geometry::FitOptions request;
  request.kind = geometry::FitKind::three_point;
  request.threads = threads;
  std::vector<double> load_wall, load_cpu, report_wall, report_cpu, ratio_wall, ratio_cpu;
  obj::Mesh base, moved;
  matrix::FitReport report;
  double arrays = 0.0;
  for (int run = 0; run < runs; ++run) {
    base = obj::Mesh();
    moved = obj::Mesh();
    bench::Timing load;
    load.Run([&] {
      obj::LoadObjVertices(base_path, base.vertices, stream);
      obj::LoadObjMesh(moved_path, moved);
    });
    arrays = static_cast<double>((base.vertices.size() + moved.vertices.size()) * sizeof(Vector3));
    bench::Timing fit;
    fit.Run([&] { report = matrix::MeasureFit(base, moved, request); });
    load_wall.push_back(load.wall);
    load_cpu.push_back(load.cpu);
    report_wall.push_back(fit.wall);
    report_cpu.push_back(fit.cpu);
    ratio_wall.push_back(fit.wall / load.wall);
    ratio_cpu.push_back(fit.cpu / load.cpu);
    std::printf(
        "run %d: load wall %.3f cpu %.3f s; report wall %.3f cpu %.3f s; ratio wall %.2f cpu "
        "%.2f\n",
        run + 1, load.wall, load.cpu, fit.wall, fit.cpu, fit.wall / load.wall, fit.cpu / load.cpu);
  }
  std::printf(
      "median: load wall %.3f cpu %.3f s; report wall %.3f cpu %.3f s; ratio wall %.2f cpu %.2f\n",
      Median(load_wall), Median(load_cpu), Median(report_wall), Median(report_cpu),
      Median(ratio_wall), Median(ratio_cpu));
  std::printf("best:   load wall %.3f cpu %.3f s; report wall %.3f cpu %.3f s\n",
              *std::min_element(load_wall.begin(), load_wall.end()),
              *std::min_element(load_cpu.begin(), load_cpu.end()),
              *std::min_element(report_wall.begin(), report_wall.end()),
              *std::min_element(report_cpu.begin(), report_cpu.end()));
  std::printf(
      "%zu + %zu vertices, %zu triangles; peak %.1f MB, %.2fx the two vertex arrays (%.1f MB)\n",
      base.vertices.size(), moved.vertices.size(), moved.triangles.size(),
      bench::Megabytes(bench::PeakBytes()), static_cast<double>(bench::PeakBytes()) / arrays,
      arrays / 1e6);

  // The results, for comparing builds: every bit of them.
  request.keepDistances = true;
  report = matrix::MeasureFit(base, moved, request);
  const geometry::FitResult& r = report.result;
  std::printf("matrix:");
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) std::printf(" %a", report.matrix.matrix()(i, j));
  }
  std::printf("\n");
  PrintStats("surface", r.residuals.surface);
  PrintStats("paired", r.residuals.paired);
  std::printf("fits %d, distances hash %016" PRIx64 "\n", r.fits, Hash(r.distances));
  return 0;
}
