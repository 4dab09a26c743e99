// Copies of a mesh as other tools make them, moved by a known random
// similarity, for bench/copies_bench.py; and the score it judges motions by.
//
//   copies make BASE.obj OUT_DIR SEED [SCAN_POINTS] [KIND,KIND...]
//   copies shapes OUT_DIR
//   copies score BASE.obj MOVED.obj < MATRICES
//
// make writes OUT_DIR/KIND.obj for each kind and OUT_DIR/copies.tsv, one line
// per copy: kind, file, the error of least squares on the true pairs (noisy
// copies; "-" otherwise), then the top three rows of the true motion. Sizes
// are the moved mesh's bounding-box diagonal. The kinds:
//   cloud    the moved vertices, shuffled, no faces
//   noise3   each coordinate off by up to 1e-3 of the size, shuffled, faces kept
//   noise4   the same at 1e-4
//   scan     3x as many points as vertices (or SCAN_POINTS) on the moved
//            surface by area, off by up to 2e-4 of the size, no faces
//   remesh   vertices merged on a grid of 1/60 of the size, shuffled
//   partial  30% of the vertices cut away by a random plane, shuffled
//   removed, split, shuffled   re-exports (tests/fit_meshes.h), six decimals
//   centre   every triangle split in three at its centre, six decimals
// Each kind draws from its own generator seeded by SEED and its name, so a
// copy is the same whatever other kinds are asked for.
//
// shapes writes the symmetric solids of tests/fit_meshes.h as OBJ files.
//
// score reads motions, twelve numbers a line (the top three rows), and
// prints for each the median distance of the moved base vertices to the
// moved mesh and of the moved mesh's vertices to the moved base's surface,
// relative to the size: a motion that fits only one way (shrunk onto a part)
// scores badly.

#include <Eigen/Geometry>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fit_meshes.h"
#include "geometry/fit_target.h"
#include "geometry/residuals.h"
#include "obj/obj_mesh.h"

namespace {

using namespace korvane;
using namespace korvane::geometry;
using korvane::testing::Mesh;
using korvane::testing::SplitMix;

void WriteObj(const std::string& path, const Mesh& m) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  for (const Vector3& p : m.vertices) std::fprintf(f, "v %.17g %.17g %.17g\n", p.x(), p.y(), p.z());
  for (const Triangle& t : m.triangles)
    std::fprintf(f, "f %u %u %u\n", t[0] + 1, t[1] + 1, t[2] + 1);
  if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path);
}

Mesh Moved(const Mesh& m, const Matrix4& truth) {
  Mesh out = m;
  for (Vector3& p : out.vertices) p = TransformPoint(truth, p);
  return out;
}

std::uint64_t Seed(std::uint64_t seed, const std::string& kind) {
  std::uint64_t h = seed * 0x9E3779B97F4A7C15ULL;
  for (const char c : kind) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
  return h;
}

// Error of least squares on the pairs the copy keeps in order.
double PairsError(const Mesh& base, const std::vector<Vector3>& moved, const Matrix4& truth,
                  double size) {
  Eigen::Matrix3Xd from(3, base.vertices.size()), to(3, moved.size());
  for (std::size_t i = 0; i < moved.size(); ++i) {
    from.col(static_cast<Eigen::Index>(i)) = base.vertices[i];
    to.col(static_cast<Eigen::Index>(i)) = moved[i];
  }
  Matrix4 fitted;
  fitted.matrix() = Eigen::umeyama(from, to, true);
  return testing::MotionError(base.vertices, truth, fitted, size);
}

int Make(const std::string& base_path, const std::string& dir, std::uint64_t seed,
         std::size_t scan_points, const std::string& kinds) {
  Mesh base;
  obj::LoadObjMesh(base_path, base);
  SplitMix motion_rng(seed);
  const Matrix4 truth = testing::RandomSimilarity(motion_rng, testing::Diagonal(base.vertices));
  const Mesh moved = Moved(base, truth);
  const double size = testing::Diagonal(moved.vertices);
  std::filesystem::create_directories(dir);
  std::FILE* list = std::fopen((dir + "/copies.tsv").c_str(), "w");
  if (!list) throw std::runtime_error("cannot write " + dir + "/copies.tsv");
  std::stringstream wanted(kinds.empty() ? "cloud,noise3,noise4,scan,remesh,partial,removed,"
                                           "split,shuffled,centre"
                                         : kinds);
  for (std::string kind; std::getline(wanted, kind, ',');) {
    SplitMix rng(Seed(seed, kind));
    Mesh copy;
    double pairs_error = -1.0;
    if (kind == "cloud") {
      copy = testing::Shuffle(moved, rng);
      copy.triangles.clear();
    } else if (kind == "noise3" || kind == "noise4") {
      copy = moved;
      testing::AddNoise(copy.vertices, (kind == "noise3" ? 1e-3 : 1e-4) * size, rng);
      pairs_error = PairsError(base, copy.vertices, truth, size);
      copy = testing::Shuffle(copy, rng);
    } else if (kind == "scan") {
      copy.vertices =
          testing::SampleSurface(moved, scan_points ? scan_points : 3 * base.vertices.size(), rng);
      testing::AddNoise(copy.vertices, 2e-4 * size, rng);
    } else if (kind == "remesh") {
      copy = testing::Shuffle(testing::MergeOnGrid(moved, size / 60.0), rng);
    } else if (kind == "partial") {
      copy = testing::Shuffle(testing::CutByPlane(moved, 0.3, rng), rng);
    } else if (kind == "removed" || kind == "split" || kind == "shuffled") {
      copy = testing::CopyOfKind(base, kind, truth, rng);
    } else if (kind == "centre") {
      copy = testing::SplitAtCentres(base);
      copy.vertices = testing::MovedRounded(copy.vertices, truth);
    } else {
      throw std::runtime_error("unknown kind " + kind);
    }
    WriteObj(dir + "/" + kind + ".obj", copy);
    std::fprintf(list, "%s\t%s.obj\t", kind.c_str(), kind.c_str());
    if (pairs_error >= 0)
      std::fprintf(list, "%.6e", pairs_error);
    else
      std::fprintf(list, "-");
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) std::fprintf(list, "\t%.17g", truth.matrix()(r, c));
    std::fprintf(list, "\n");
  }
  return std::fclose(list) == 0 ? 0 : 1;
}

int Shapes(const std::string& dir) {
  std::filesystem::create_directories(dir);
  for (const testing::NamedMesh& s : testing::SymmetricSolids()) {
    std::string name = "gen-" + s.name;
    for (char& c : name)
      if (c == ' ') c = '-';
    WriteObj(dir + "/" + name + ".obj", s.mesh);
  }
  return 0;
}

int Score(const std::string& base_path, const std::string& moved_path) {
  Mesh base, moved;
  obj::LoadObjMesh(base_path, base);
  obj::LoadObjMesh(moved_path, moved);
  const FitTarget onto_moved(moved.vertices, moved.triangles);
  const FitTarget onto_base(base.vertices, base.triangles);
  const double size = onto_moved.size();
  std::vector<double> there, back;
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream in(line);
    Matrix4 m = Matrix4::Identity();
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) in >> m.matrix()(r, c);
    if (!in) throw std::runtime_error("a motion is twelve numbers: " + line);
    const double scale = std::cbrt(std::abs(m.linear().determinant()));
    onto_moved.DistancesFrom(m, base.vertices, there, 0);
    onto_base.DistancesFrom(m.inverse(), moved.vertices, back, 0);
    // Distances back in the base's frame are 1/scale of the moved frame's.
    std::printf("%.6e %.6e\n", ComputeResidualStats(there, size).medianRelative,
                scale * ComputeResidualStats(back, size).medianRelative);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc >= 5)
      return Make(argv[2], argv[3], std::stoull(argv[4]), argc > 5 ? std::stoull(argv[5]) : 0,
                  argc > 6 ? argv[6] : "");
    if (mode == "shapes" && argc == 3) return Shapes(argv[2]);
    if (mode == "score" && argc == 4) return Score(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: copies make BASE.obj OUT_DIR SEED [SCAN_POINTS] [KINDS]\n"
                 "       copies shapes OUT_DIR\n"
                 "       copies score BASE.obj MOVED.obj < MATRICES\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "copies: %s\n", e.what());
  }
  return 1;
}
