// The test program; started with --calc-child DIR it is instead the child
// process the CalcMatrix test reads standard output from.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "harness.h"

namespace {

// Runs CalcMatrix in DIR. Standard output must carry only what the library
// prints; any box is answered and reported after it, so the parent sees it.
int CalcChild(const char* dir) {
  kvtest::Call("SetWorkingDirectory", dir);
  const kvtest::Watched w = kvtest::CallWatched("CalcMatrix", "");
  if (!w.windows.empty() || w.timedOut) {
    std::printf("unexpected: %s", kvtest::Describe(w.windows).c_str());
    std::fflush(stdout);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--calc-child") == 0) return CalcChild(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
