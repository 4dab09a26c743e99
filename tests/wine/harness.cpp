#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace kvtest {
namespace {

// Control ids of the file-name field: cmb13 (explorer-style dialogs, Wine's
// included) and edt1 (old-style dialogs).
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;
// The static control that holds a message box's text.
constexpr int kMessageBoxText = 0xFFFF;

// A window that does not close this long after being answered is stuck.
constexpr ULONGLONG kCloseTimeoutMs = 10000;
// A command still running this long is hung.
constexpr ULONGLONG kCommandTimeoutMs = 60000;
// Per message: the other thread is inside a modal loop, so it answers quickly.
constexpr UINT kSendTimeoutMs = 5000;

std::wstring ExecutableDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

// WM_GETTEXT with a time-out, so a hung window cannot stop the watcher.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                          &length) == 0) {
    return L"<no answer>";
  }
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutW(hwnd, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                          reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                          &copied) == 0) {
    return L"<no answer>";
  }
  text.resize(static_cast<std::size_t>(copied));
  return text;
}

struct ChildSearch {
  HWND found = nullptr;
  bool (*match)(HWND) = nullptr;
};

HWND FindDescendant(HWND parent, bool (*match)(HWND)) {
  ChildSearch search;
  search.match = match;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<ChildSearch*>(p);
        if (!s->match(child)) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The edit control the user types the file name into.
HWND FileNameEdit(HWND dialog) {
  return FindDescendant(dialog, [](HWND h) {
    const int id = GetDlgCtrlID(h);
    return (id == kFileNameCombo || id == kFileNameEdit) && ClassOf(h) == L"Edit";
  });
}

std::wstring MessageBoxText(HWND box) {
  if (HWND text = GetDlgItem(box, kMessageBoxText)) return TextOf(text);
  // Fall back to the first static control that says something.
  HWND any = FindDescendant(
      box, [](HWND h) { return ClassOf(h) == L"Static" && GetWindowTextLengthW(h) > 0; });
  return any != nullptr ? TextOf(any) : std::wstring();
}

void Press(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::vector<HWND> OwnDialogs() {
  std::vector<HWND> found;
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(h) && ClassOf(h) == L"#32770") {
          reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + name;
      // Tests make files read-only on purpose; that must not keep them here.
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveTree(path + L"\\");
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &data) != FALSE);
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

HMODULE Library() {
  static const HMODULE module = LoadLibraryW((ExecutableDirectory() + L"Korvane.dll").c_str());
  return module;
}

KorvaneCommand Command(const char* name) {
  HMODULE module = Library();
  if (module == nullptr) {
    ADD_FAILURE() << "Korvane.dll could not be loaded (error " << GetLastError() << ")";
    return nullptr;
  }
  const FARPROC proc = GetProcAddress(module, name);
  if (proc == nullptr) {
    ADD_FAILURE() << "Korvane.dll has no export " << name;
    return nullptr;
  }
  // Through void(*)(): the documented way to change a function pointer's type.
  return reinterpret_cast<KorvaneCommand>(reinterpret_cast<void (*)()>(proc));
}

float Call(const char* name, const char* text, double value) {
  const KorvaneCommand f = Command(name);
  if (f == nullptr) return -1.0f;
  return f(text, value, nullptr, 0, nullptr, 0, 0);
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << "cannot create " << path;
  const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
  const int closed = std::fclose(f);
  ASSERT_EQ(written, bytes.size()) << path;
  ASSERT_EQ(closed, 0) << path;
}

std::optional<std::string> ReadBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string out;
  char block[4096];
  std::size_t n = 0;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) out.append(block, n);
  std::fclose(f);
  return out;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  std::string pattern = dir;
  if (!pattern.empty() && pattern.back() != '\\') pattern += '\\';
  HANDLE find = FindFirstFileA((pattern + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data) != FALSE);
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

ScratchDir::ScratchDir() {
  static int counter = 0;
  previous_cwd_.resize(GetCurrentDirectoryW(0, nullptr));
  previous_cwd_.resize(
      GetCurrentDirectoryW(static_cast<DWORD>(previous_cwd_.size()), previous_cwd_.data()));
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  const std::wstring dir = base + L"korvane-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(++counter) + L"\\";
  RemoveTree(dir);  // left over by a test that was killed
  if (CreateDirectoryW(dir.c_str(), nullptr) == FALSE) {
    ADD_FAILURE() << "cannot create the scratch directory " << Utf8(dir);
  }
  path_ = Narrow(dir);
  // The library takes ANSI paths: the scratch path must survive the trip.
  if (Widen(path_) != dir) ADD_FAILURE() << "temp path not representable in ANSI: " << Utf8(dir);
}

ScratchDir::~ScratchDir() {
  SetCurrentDirectoryW(previous_cwd_.c_str());
  // The \\?\ form reaches what tests made past MAX_PATH.
  RemoveTree(L"\\\\?\\" + Widen(path_));
  if (GetFileAttributesW(Widen(path_).c_str()) != INVALID_FILE_ATTRIBUTES) {
    ADD_FAILURE() << "could not remove " << path_;
  }
}

std::string ScratchDir::MakeSubdir(const std::string& name) const {
  const std::string dir = path_ + name;
  if (CreateDirectoryA(dir.c_str(), nullptr) == FALSE) ADD_FAILURE() << "cannot create " << dir;
  return dir + "\\";
}

std::string ScratchDir::MakeSubdirOfLength(std::size_t length) const {
  if (length < path_.size() + 2) {
    ADD_FAILURE() << "the scratch path is already " << path_.size() << " characters long";
    return path_;
  }
  // Past MAX_PATH only the \\?\ form creates it.
  const std::string dir = path_ + std::string(length - path_.size() - 1, 'L');
  if (CreateDirectoryW((L"\\\\?\\" + Widen(dir)).c_str(), nullptr) == FALSE) {
    ADD_FAILURE() << "cannot create " << dir;
  }
  return dir + "\\";
}

WindowWatcher::WindowWatcher(std::vector<DialogAnswer> answers)
    : answers_(answers.begin(), answers.end()), thread_([this] { Run(); }) {}

WindowWatcher::~WindowWatcher() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<SeenWindow> WindowWatcher::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void WindowWatcher::Run() {
  const ULONGLONG started = GetTickCount64();
  while (!stop_) {
    const ULONGLONG now = GetTickCount64();
    if (now - started > kCommandTimeoutMs) {
      // The hung command cannot be stopped from here, nor this process ended
      // normally while it runs.
      std::fprintf(stderr, "FAILED: the command did not return within %llu s\n",
                   static_cast<unsigned long long>(kCommandTimeoutMs / 1000));
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
    for (HWND hwnd : OwnDialogs()) {
      auto it = std::find_if(answered_.begin(), answered_.end(),
                             [hwnd](const auto& a) { return a.first == hwnd; });
      if (it == answered_.end()) {
        Handle(hwnd);
        answered_.emplace_back(hwnd, GetTickCount64());
      } else if (now - it->second > kCloseTimeoutMs) {
        // Answered long ago and still open: close it so that the command returns.
        timed_out_ = true;
        Press(hwnd, IDCANCEL);
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        it->second = now;
      }
    }
    answered_.erase(std::remove_if(answered_.begin(), answered_.end(),
                                   [](const auto& a) { return IsWindow(a.first) == FALSE; }),
                    answered_.end());
    Sleep(20);
  }
}

void WindowWatcher::Handle(HWND hwnd) {
  SeenWindow seen;
  seen.caption = TextOf(hwnd);
  if (HWND edit = FileNameEdit(hwnd)) {
    seen.kind = SeenWindow::Kind::fileDialog;
    // Visible means initialised; the short pause lets the dialog finish
    // filling its list before it is answered.
    Sleep(200);
    seen.fileName = TextOf(edit);
    std::optional<std::wstring> path;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!answers_.empty()) {
        path = answers_.front().path;
        answers_.pop_front();
      }
    }
    if (path) {
      DWORD_PTR ignored = 0;
      SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path->c_str()),
                          SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
      Press(hwnd, IDOK);
    } else {
      Press(hwnd, IDCANCEL);
    }
  } else {
    seen.kind = SeenWindow::Kind::messageBox;
    seen.text = MessageBoxText(hwnd);
    // A question (the overwrite prompt) is answered Yes, a notice OK.
    Press(hwnd, GetDlgItem(hwnd, IDYES) != nullptr ? IDYES : IDOK);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.push_back(std::move(seen));
}

Watched CallWatched(const char* name, const char* text, double value,
                    std::vector<DialogAnswer> answers) {
  WindowWatcher watcher(std::move(answers));
  Call(name, text, value);
  Watched result;
  result.windows = watcher.Finish();
  result.timedOut = watcher.TimedOut();
  return result;
}

std::string Describe(const std::vector<SeenWindow>& windows) {
  std::string out;
  for (const SeenWindow& w : windows) {
    if (w.kind == SeenWindow::Kind::fileDialog) {
      out += "[file dialog \"" + Utf8(w.caption) + "\", file name \"" + Utf8(w.fileName) + "\"]\n";
    } else {
      out += "[box \"" + Utf8(w.caption) + "\": \"" + Utf8(w.text) + "\"]\n";
    }
  }
  return out.empty() ? "(no window)" : out;
}

ChildResult RunSelf(const std::wstring& args, DWORD timeout_ms) {
  ChildResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (CreatePipe(&read, &write, &inherit, 0) == FALSE) {
    ADD_FAILURE() << "CreatePipe failed";
    return result;
  }
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);

  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" " + args;
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = write;
  si.hStdError = write;
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &si, &pi);
  CloseHandle(write);  // the child holds the only writing end now
  if (started == FALSE) {
    ADD_FAILURE() << "CreateProcess failed (error " << GetLastError() << ")";
    CloseHandle(read);
    return result;
  }

  // Polling rather than a blocking read: a child that hangs must not hang us.
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  auto drain = [&] {
    DWORD available = 0;
    while (PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) != FALSE &&
           available > 0) {
      char block[4096];
      DWORD got = 0;
      if (ReadFile(read, block, std::min<DWORD>(available, sizeof block), &got, nullptr) == FALSE ||
          got == 0) {
        break;
      }
      result.out.append(block, got);
    }
  };
  for (;;) {
    drain();
    if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) {
      drain();
      break;
    }
    if (GetTickCount64() > deadline) {
      TerminateProcess(pi.hProcess, 255);
      WaitForSingleObject(pi.hProcess, 5000);
      result.timedOut = true;
      break;
    }
  }
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  CloseHandle(read);
  return result;
}

}  // namespace kvtest
