// libKorvane.so as a host sees it: exactly the fifteen C names (and the C++
// interface), and results that read as 0.0 whichever floating type the host
// expects.
#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
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

// The name right inside namespace korvane of a mangled C++ symbol
// ("_ZN7korvane12ReplayMotion..." -> "ReplayMotion"), or "" for any other symbol.
std::string KorvaneMember(const std::string& symbol) {
  for (const char* prefix :
       {"_ZN7korvane", "_ZNK7korvane", "_ZTIN7korvane", "_ZTSN7korvane", "_ZTVN7korvane"}) {
    if (symbol.rfind(prefix, 0) != 0) continue;
    std::size_t at = std::strlen(prefix);
    std::size_t length = 0;
    while (at < symbol.size() && std::isdigit(static_cast<unsigned char>(symbol[at]))) {
      length = length * 10 + static_cast<std::size_t>(symbol[at++] - '0');
    }
    return symbol.substr(at, length);
  }
  return {};
}

// The C names are exactly the fifteen commands; the C++ names are exactly the
// interface of korvane/korvane.hpp (nothing of the rooms inside, nothing of
// the standard library).
TEST(SharedLibrary, ExportsTheFifteenCommandsAndTheCppInterfaceOnly) {
  std::set<std::string> expected;
  for (const korvane::CommandInfo& c : korvane::kCommands) expected.insert(c.name);
  ASSERT_EQ(expected.size(), 15u);
  std::set<std::string> c_names;
  std::set<std::string> cpp_members;
  for (const std::string& symbol : DynamicSymbols(KORVANE_SHARED_LIBRARY)) {
    if (symbol.rfind("_Z", 0) != 0) {
      c_names.insert(symbol);
    } else {
      cpp_members.insert(KorvaneMember(symbol).empty() ? symbol : KorvaneMember(symbol));
    }
  }
  EXPECT_EQ(c_names, expected);
  EXPECT_EQ(cpp_members,
            (std::set<std::string>{"CheckOutput",     "Decompose",         "Defaults",
                                   "ErrorKindName",   "Failure",           "FitByName",
                                   "FitDescription",  "FitName",           "Fits",
                                   "MotionByName",    "MotionDescription", "MotionName",
                                   "Motions",         "ReportKeys",        "InverseMotion",
                                   "LoadMotion",      "MeasureMotion",     "ReadMatrixFile",
                                   "TransformPoints", "ReplayMotion",      "WriteMatrixFile"}));
}

TEST(SharedLibrary, EveryResultReadsAsZeroEvenAsDouble) {
  void* lib = ::dlopen(KORVANE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using AsFloat = float (*)(const char*, double, char*, int32_t, char*, int32_t, intptr_t);
  using AsDouble = double (*)(const char*, double, char*, int32_t, char*, int32_t, intptr_t);
  korvane::testing::ScratchDir dir;
  // Commands that touch no file and show nothing once a working directory is set.
  const char* harmless[] = {"SetWorkingDirectory", "Version",       "ClearObject",
                            "LoadMatrixComposite", "SetBaseObject", "SetTransformedObject"};
  for (const char* name : harmless) {
    void* sym = ::dlsym(lib, name);
    ASSERT_NE(sym, nullptr) << name;
    char buf2[8] = {};
    const double d =
        reinterpret_cast<AsDouble>(sym)(dir.path().c_str(), 1.0, nullptr, 0, buf2, 8, 0);
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
