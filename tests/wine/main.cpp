// The test program; started with --calc-child DIR it is instead the child
// process the CalcMatrix test reads standard output from.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "harness.h"

namespace {

// With no window manager on the virtual display, Wine waits two seconds for
// one each time a managed window closes. Unmanaged windows close at once; the
// setting is per program, read when the first window is made, and Wine's own.
void UnmanagedWindowsUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe = self;
  exe = exe.substr(exe.find_last_of(L"\\/") + 1);
  const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe + L"\\X11 Driver";
  HKEY hkey = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hkey,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  static const wchar_t kNo[] = L"N";
  RegSetValueExW(hkey, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNo), sizeof kNo);
  RegCloseKey(hkey);
}

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
  UnmanagedWindowsUnderWine();
  if (argc == 3 && std::strcmp(argv[1], "--calc-child") == 0) return CalcChild(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
