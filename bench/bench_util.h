// Small helpers shared by the benchmark programs: wall-clock timing, scratch
// directories for generated meshes, and the motion they replay.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "geometry/geometry.h"

namespace korvane::bench {

using geometry::IdentityMatrix4;
using geometry::Matrix4;
using geometry::Vector3;

inline double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU time of this process: on a shared two-core machine it is disturbed far
// less by other processes than the wall clock is.
inline double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Timing {
  double wall = 1e300;
  double cpu = 1e300;
  // Keeps the best of each clock.
  template <class F>
  void Run(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuSeconds();
    f();
    cpu = std::min(cpu, CpuSeconds() - c0);
    wall = std::min(wall, Seconds(std::chrono::steady_clock::now() - t0));
  }
};

// Best times of `runs` calls: the least disturbed ones.
template <class F>
Timing BestOf(int runs, F&& f) {
  Timing t;
  for (int i = 0; i < runs; ++i) t.Run(f);
  return t;
}

inline std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return static_cast<std::uint64_t>(st.st_size);
}

inline double Megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1.0e6; }

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh directory under `parent`, removed with everything in it at the end:
// the benchmark files run to hundreds of megabytes.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& parent) {
    std::string pattern = parent + "/korvane-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("cannot create a directory in " + parent);
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// 30 degrees about a tilted axis, scale 1.5, a translation: a motion with no
// zero coefficients, so every product is really computed.
inline Matrix4 BenchMotion() {
  Matrix4 m = IdentityMatrix4();
  m.linear() =
      1.5 *
      Eigen::AngleAxisd(0.5235987755982988, Vector3(1.0, 2.0, 3.0).normalized()).toRotationMatrix();
  m.translation() = Vector3(12.5, -340.25, 7.0);
  return m;
}

// Positive whole-number argument, or `fallback` when absent.
inline std::uint64_t CountArg(int argc, char** argv, int i, std::uint64_t fallback) {
  if (argc <= i) return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(argv[i], &end, 10);
  if (end == argv[i] || *end != '\0' || v == 0) {
    std::fprintf(stderr, "not a positive whole number: %s\n", argv[i]);
    std::exit(2);
  }
  return v;
}

// Whole-number argument, 0 allowed, or `fallback` when absent.
inline std::uint64_t NumberArg(int argc, char** argv, int i, std::uint64_t fallback) {
  if (argc <= i) return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(argv[i], &end, 10);
  if (end == argv[i] || *end != '\0') {
    std::fprintf(stderr, "not a whole number: %s\n", argv[i]);
    std::exit(2);
  }
  return v;
}

// A field of /proc/self/status in bytes: "VmHWM:" the peak resident set
// size of this process so far, "VmRSS:" the current one.
inline std::uint64_t StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string_view name(field);
  while (std::getline(status, line)) {
    if (line.compare(0, name.size(), name) == 0)
      return std::stoull(line.substr(name.size())) * 1024;
  }
  return 0;
}
inline std::uint64_t PeakBytes() { return StatusBytes("VmHWM:"); }

inline std::string DirArg(int argc, char** argv, int i) { return argc > i ? argv[i] : "/tmp"; }

}  // namespace korvane::bench
