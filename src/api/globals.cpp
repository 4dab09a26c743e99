#include "api/globals.h"

#include "platform/platform.h"

namespace korvane::api {

std::string& WorkDirectory() {
  static std::string dir;
  return dir;
}

unsigned& ThreadCount() {
  static unsigned threads = 0;
  return threads;
}

std::string JoinDirect(const char* name) { return WorkDirectory() + name; }

std::string JoinWithSeparator(const char* name) {
  std::string path = WorkDirectory();
  path += platform::kPathSeparator;
  path += name;
  return path;
}

}  // namespace korvane::api
