#include "test_support.h"

#include <dirent.h>

#include <algorithm>

namespace korvane::testing {

std::vector<std::string> ScratchDir::Entries() const {
  std::vector<std::string> names;
  DIR* d = ::opendir(path_.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace korvane::testing
