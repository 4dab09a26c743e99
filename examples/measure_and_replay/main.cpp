// measure_and_replay WORKDIR
//
// Writes a small mesh and a copy of it turned, scaled and moved, measures the
// motion between them, stores it, replays it on the mesh (file to file and
// stream to stream) and undoes it. Exit status 0 when every step gives back
// what it should.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <korvane/korvane.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double kPoints[][3] = {{0, 0, 0}, {2, 0, 0}, {0, 1, 0}, {0, 0, 3}, {1, 1, 1}, {-1, 2, 0.5}};

// The motion the copy is made with: 90 degrees about z, scale 3, shift (5, 6, 7).
std::string Mesh(bool moved) {
  std::string text = "# six vertices\n";
  char line[128];
  for (const auto& p : kPoints) {
    const double x = moved ? -3 * p[1] + 5 : p[0];
    const double y = moved ? 3 * p[0] + 6 : p[1];
    const double z = moved ? 3 * p[2] + 7 : p[2];
    std::snprintf(line, sizeof line, "v %.6f %.6f %.6f\n", x, y, z);
    text += line;
  }
  return text + "f 1 2 3\nf 1 3 4\n";
}

std::vector<double> Coordinates(std::istream& in) {
  std::vector<double> out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("v ", 0) != 0) continue;
    std::istringstream fields(line.substr(2));
    for (double v; fields >> v;) out.push_back(v);
  }
  return out;
}

bool Near(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::fabs(a[i] - b[i]) > 1e-5) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: measure_and_replay WORKDIR\n";
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  std::ofstream(dir + "base.obj") << Mesh(false);
  std::ofstream(dir + "moved.obj") << Mesh(true);
  try {
    const korvane::MotionReport r = korvane::MeasureMotion(dir + "base.obj", dir + "moved.obj");
    std::printf("Korvane %s: scale %g, %g degrees about (%g, %g, %g), shift (%g, %g, %g), %s\n",
                KORVANE_VERSION, r.scale, r.rotation_degrees, r.rotation_axis[0],
                r.rotation_axis[1], r.rotation_axis[2], r.translation[0], r.translation[1],
                r.translation[2], r.same_topology ? "same topology" : "different topology");
    korvane::WriteMatrixFile(dir + "motion.matrix", r.matrix);
    const korvane::Matrix4x4 motion = korvane::ReadMatrixFile(dir + "motion.matrix");

    const korvane::ReplayReport replay =
        korvane::ReplayMotion(motion, dir + "base.obj", dir + "replayed.obj");
    std::ifstream replayed(dir + "replayed.obj"), moved(dir + "moved.obj");
    const bool replay_ok = replay.vertices == 6 && Near(Coordinates(replayed), Coordinates(moved));

    std::istringstream in(Mesh(true));
    std::stringstream out;
    korvane::ReplayMotion(korvane::InverseMotion(motion), in, out, "moved copy");
    std::istringstream base(Mesh(false));
    const bool undo_ok = Near(Coordinates(out), Coordinates(base));

    std::printf("replayed: %s; undone: %s\n", replay_ok ? "matches the copy" : "MISMATCH",
                undo_ok ? "matches the mesh" : "MISMATCH");

    try {
      korvane::ReplayMotion(motion, dir + "no such mesh.obj", dir + "never.obj");
    } catch (const korvane::Failure& f) {
      std::printf("a missing mesh is reported: %s (file %s)\n", f.what(), f.file().c_str());
    }
    return replay_ok && undo_ok ? 0 : 1;
  } catch (const korvane::Failure& f) {
    std::fprintf(stderr, "measure_and_replay: %s\n", f.what());
    return 1;
  }
}
