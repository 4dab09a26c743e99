// dll_host KORVANE.DLL WORKDIR MATRIX [RUNS=5]   (Windows, or Wine)
//
// A host as small as can be: loads the given Korvane.dll, sets the working
// directory (WORKDIR ends with a backslash) and calls ApplyMatrix with MATRIX
// RUNS times, timing each call; prints the best and the median. Any DLL with
// the fifteen exports will do, so one built from an older commit can be timed
// against the current one on the same files.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "korvane/korvane.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: dll_host KORVANE.DLL WORKDIR MATRIX [RUNS]\n");
    return 2;
  }
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  const HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  // Through void(*)(): the documented way to change a function pointer's type.
  const auto command = [dll](const char* name) {
    return reinterpret_cast<KorvaneCommand>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
  };
  const KorvaneCommand set_dir = command("SetWorkingDirectory");
  const KorvaneCommand apply = command("ApplyMatrix");
  if (set_dir == nullptr || apply == nullptr) {
    std::fprintf(stderr, "%s lacks the commands\n", argv[1]);
    return 1;
  }
  set_dir(argv[2], 0.0, nullptr, 0, nullptr, 0, 0);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    LARGE_INTEGER t0;
    LARGE_INTEGER t1;
    QueryPerformanceCounter(&t0);
    apply(argv[3], 1.0, nullptr, 0, nullptr, 0, 0);
    QueryPerformanceCounter(&t1);
    seconds.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) /
                      static_cast<double>(frequency.QuadPart));
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("ApplyMatrix: best %.6f s, median %.6f s (%d calls)\n", seconds.front(),
              seconds[seconds.size() / 2], runs);
  FreeLibrary(dll);
  return 0;
}
