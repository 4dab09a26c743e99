// libKorvane.so as a host sees it: exactly the fifteen names, and results
// that read as 0.0 whichever floating type the host expects.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "api/commands.h"
#include "test_support.h"

namespace {

std::set<std::string> DynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  const std::string cmd = "nm -D --defined-only '" + library + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, p) != nullptr) {
    char address[64], kind[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, kind, name) == 3) names.insert(name);
  }
  ::pclose(p);
  return names;
}

// The Windows export table comes from the .def file: the same names as the
// command list, each with its position as ordinal.
TEST(DefFile, MatchesTheCommandList) {
  std::ifstream def(KORVANE_DEF_FILE);
  ASSERT_TRUE(def.good()) << KORVANE_DEF_FILE;
  std::string line;
  std::vector<std::string> exports;
  bool in_exports = false;
  while (std::getline(def, line)) {
    std::istringstream fields(line);
    std::string first, ordinal;
    if (!(fields >> first)) continue;
    if (first == "EXPORTS") {
      in_exports = true;
    } else if (in_exports) {
      fields >> ordinal;
      exports.push_back(first + " " + ordinal);
    }
  }
  std::vector<std::string> expected;
  for (int i = 0; i < korvane::api::kCommandCount; ++i) {
    expected.push_back(std::string(korvane::api::kCommands[i].name) + " @" + std::to_string(i + 1));
  }
  EXPECT_EQ(exports, expected);
}

TEST(SharedLibrary, ExportsExactlyTheFifteenCommands) {
  std::set<std::string> expected;
  for (const korvane::CommandInfo& c : korvane::kCommands) expected.insert(c.name);
  ASSERT_EQ(expected.size(), 15u);
  EXPECT_EQ(DynamicSymbols(KORVANE_SHARED_LIBRARY), expected);
}

TEST(SharedLibrary, EveryResultReadsAsZeroEvenAsDouble) {
  void* lib = ::dlopen(KORVANE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using AsFloat = float (*)(const char*, double, char*, int32_t, char*, int32_t, intptr_t);
  using AsDouble = double (*)(const char*, double, char*, int32_t, char*, int32_t, intptr_t);
  korvane::testing::ScratchDir dir;
  // Commands that touch no file and show nothing once a working directory is set.
  const char* harmless[] = {"SetWorkingDirectory", "Version", "ClearObject", "LoadMatrixComposite",
                            "SetBaseObject", "SetTransformedObject"};
  for (const char* name : harmless) {
    void* sym = ::dlsym(lib, name);
    ASSERT_NE(sym, nullptr) << name;
    char buf2[8] = {};
    const double d = reinterpret_cast<AsDouble>(sym)(dir.path().c_str(), 1.0, nullptr, 0, buf2, 8, 0);
    std::uint64_t bits = 1;
    std::memcpy(&bits, &d, sizeof bits);
    EXPECT_EQ(bits, 0u) << name;
    const float f = reinterpret_cast<AsFloat>(sym)(dir.path().c_str(), 1.0, nullptr, 0, buf2, 8, 0);
    std::uint32_t fbits = 1;
    std::memcpy(&fbits, &f, sizeof fbits);
    EXPECT_EQ(fbits, 0u) << name;
  }
  char version[6] = {};
  reinterpret_cast<AsFloat>(::dlsym(lib, "Version"))(nullptr, 0, nullptr, 0, version, 6, 0);
  EXPECT_STREQ(version, "0.1.1");
  ::dlclose(lib);
}

}  // namespace
