// Speed and peak memory of measuring a fit on big meshes: two generated
// meshes of about VERTICES vertices each (the second moved by BenchMotion),
// written as OBJ files and read back.
//
//   fit_speed [VERTICES=1000000] [DIR=/tmp] [THREADS=0 (all cores)] [PEER]
//
// Prints the time to load both vertex lists (LoadObjVertices, the baseline),
// to read the moved mesh's faces, to build its surface index, to compute the
// full residual report of the three-point motion, to read a sample of the
// base's faces, ICP from starts alone (the three-point start, then the
// identity), and ICP on the moved mesh with its vertices shuffled, from
// nothing: with the base's triangles (as `korvane calc` runs it) and from
// starts alone. Peak memory is the process's VmHWM after each stage. PEER,
// when given, is bench/open3d_icp.py: Open3D's ICP on the same files, run
// last in the same process tree.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "bench_util.h"
#include "fit_meshes.h"
#include "geometry/fit.h"
#include "obj/obj_stream.h"

namespace {

using namespace korvane;
using namespace korvane::geometry;

void Report(const char* what, const bench::Timing& t) {
  std::printf("%-44s wall %8.3f s  cpu %8.3f s  peak %7.1f MB  now %7.1f MB\n", what, t.wall, t.cpu,
              bench::Megabytes(bench::PeakBytes()), bench::Megabytes(bench::StatusBytes("VmRSS:")));
}

// The mesh's vertices put in random order in place (no second copy to
// raise the peak), its triangles renumbered.
void ShuffleInPlace(testing::Mesh& m) {
  testing::SplitMix rng(17);
  std::vector<std::uint32_t> where(m.vertices.size());  // new place of vertex i
  std::iota(where.begin(), where.end(), 0u);
  for (std::size_t i = where.size(); i > 1; --i)
    std::swap(where[i - 1], where[static_cast<std::size_t>(rng.Next() % i)]);
  for (Triangle& t : m.triangles)
    for (std::uint32_t& c : t) c = where[c];
  // Follow each cycle of the permutation.
  for (std::size_t i = 0; i < where.size(); ++i) {
    while (where[i] != i) {
      const std::uint32_t j = where[i];
      std::swap(m.vertices[i], m.vertices[j]);
      std::swap(where[i], where[j]);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t vertices = bench::CountArg(argc, argv, 1, 1000000);
  const bench::ScratchDir dir(bench::DirArg(argc, argv, 2));
  const auto threads = static_cast<unsigned>(bench::NumberArg(argc, argv, 3, 0));

  cli::MeshOptions o;
  o.vertices = vertices;
  const Matrix4 motion = bench::BenchMotion();
  const std::string base_path = dir / "base.obj", moved_path = dir / "moved.obj";
  if (!cli::WriteSurfaceObj(base_path, o, Matrix4::Identity()) ||
      !cli::WriteSurfaceObj(moved_path, o, motion)) {
    std::fprintf(stderr, "cannot write the meshes\n");
    return 1;
  }
  std::printf("meshes: %s %.1f MB, %s %.1f MB; threads %u of %u\n", base_path.c_str(),
              bench::Megabytes(bench::FileSize(base_path)), moved_path.c_str(),
              bench::Megabytes(bench::FileSize(moved_path)), BatchThreads(~std::size_t{0}, threads),
              std::thread::hardware_concurrency());
  std::printf("start%40s peak %7.1f MB\n", "", bench::Megabytes(bench::PeakBytes()));

  std::vector<Vector3> base, moved_only;
  const bench::Timing load = bench::BestOf(3, [&] {
    obj::LoadObjVertices(base_path, base);
    obj::LoadObjVertices(moved_path, moved_only);
  });
  Report("load both vertex lists (LoadObjVertices)", load);
  const double arrays = static_cast<double>((base.size() + moved_only.size()) * sizeof(Vector3));
  std::printf("  %zu + %zu vertices: the two arrays are %.1f MB\n", base.size(), moved_only.size(),
              arrays / 1e6);
  moved_only = std::vector<Vector3>();

  testing::Mesh moved;
  Report("read the moved mesh with faces",
         bench::BestOf(1, [&] { obj::LoadObjMesh(moved_path, moved); }));
  std::printf("  %zu triangles (%.1f MB)\n", moved.triangles.size(),
              static_cast<double>(moved.triangles.size() * sizeof(Triangle)) / 1e6);

  std::unique_ptr<FitTarget> target;
  Report("build the surface index", bench::BestOf(1, [&] {
           target = std::make_unique<FitTarget>(moved.vertices, moved.triangles, threads);
         }));

  Matrix4 three = Matrix4::Identity();
  Report("three-point motion",
         bench::BestOf(1, [&] { three = ThreePointMotion(base, moved.vertices); }));

  FitOptions options;
  options.threads = threads;
  FitResult report;
  const bench::Timing eval =
      bench::BestOf(3, [&] { report = EvaluateMotion(base, *target, three, options); });
  Report("full residual report (three-point motion)", eval);
  std::printf(
      "  surface p95 %.2e, max %.2e; paired p95 %.2e (relative); fits %d; %.1fx loading the vertex "
      "lists (cpu)\n",
      report.residuals.surface.p95Relative, report.residuals.surface.maxRelative,
      report.residuals.paired.p95Relative, report.fits, eval.cpu / load.cpu);

  FitResult icp;
  options.kind = FitKind::icp;
  Report("icp from the three-point start",
         bench::BestOf(1, [&] { icp = FitMotion(base, *target, options); }));
  std::printf("  %d iterations, %d starts, error %.2e, fits %d\n", icp.iterations, icp.starts,
              testing::MotionError(base, motion, icp.matrix, target->size()), icp.fits);

  options.start = Matrix4::Identity();
  Report("icp from the identity (all starts)",
         bench::BestOf(1, [&] { icp = FitMotion(base, *target, options); }));
  std::printf("  %d iterations, %d starts, error %.2e, fits %d\n", icp.iterations, icp.starts,
              testing::MotionError(base, motion, icp.matrix, target->size()), icp.fits);

  Matrix4 least = Matrix4::Identity();
  Report("least squares, trimmed (paired vertices)",
         bench::BestOf(1, [&] { least = LeastSquaresMotion(base, moved.vertices, 0.1); }));
  std::printf("  error %.2e\n", testing::MotionError(base, motion, least, target->size()));

  // The copy as a re-export leaves it: same surface, vertices in another order.
  target.reset();
  ShuffleInPlace(moved);
  target = std::make_unique<FitTarget>(moved.vertices, moved.triangles, threads);
  std::vector<Triangle> base_triangles;
  Report("read a sample of the base's faces", bench::BestOf(1, [&] {
           obj::LoadObjTriangles(base_path, base_triangles, kBaseTrianglesLooked);
         }));
  std::printf("  %zu triangles\n", base_triangles.size());
  options.start.reset();
  Report("icp, shuffled copy, from nothing (triangles)",
         bench::BestOf(1, [&] { icp = FitMotion(base, base_triangles, *target, options); }));
  std::printf("  %d refits, %d proposals, error %.2e, fits %d, ambiguous %d\n", icp.iterations,
              icp.starts, testing::MotionError(base, motion, icp.matrix, target->size()), icp.fits,
              icp.ambiguous);
  Report("icp, shuffled copy, from starts alone",
         bench::BestOf(1, [&] { icp = FitMotion(base, *target, options); }));
  std::printf("  %d iterations, %d starts, error %.2e, fits %d\n", icp.iterations, icp.starts,
              testing::MotionError(base, motion, icp.matrix, target->size()), icp.fits);
  std::printf("peak so far / two vertex arrays: %.2fx (goal <= 3x)\n",
              static_cast<double>(bench::PeakBytes()) / arrays);

  if (argc > 4) {
    std::string command =
        "/usr/bin/python3 " + std::string(argv[4]) + " " + base_path + " " + moved_path;
    char number[40];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) {
        std::snprintf(number, sizeof number, " %.17g", motion.matrix()(r, c));
        command += number;
      }
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "the peer failed\n");
  }
  return 0;
}
