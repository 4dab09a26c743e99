// Win32 implementation: the real message box, shell, copy and common-dialog
// calls the host application's users know.
// windows.h first: the other Windows headers rely on its types.
// clang-format off
#include <windows.h>

#include <commdlg.h>
#include <io.h>
#include <shlwapi.h>

#include <cerrno>
#include <fcntl.h>  // _O_BINARY and the other flags of _open_osfhandle
#include <sys/stat.h>
// clang-format on
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sync.h"

namespace korvane::platform {
namespace {

std::wstring Widen(const text::Message& message, text::Language language) {
  std::wstring out;
  const text::Message resolved = message.In(language);
  for (const auto& piece : resolved.pieces()) {
    if (piece.bytes.empty()) continue;
    const UINT cp = piece.encoding == text::Message::Encoding::cp932 ? 932u : CP_ACP;
    const int n = MultiByteToWideChar(cp, 0, piece.bytes.data(),
                                      static_cast<int>(piece.bytes.size()), nullptr, 0);
    if (n <= 0) continue;
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, piece.bytes.data(), static_cast<int>(piece.bytes.size()), w.data(),
                        n);
    out += w;
  }
  return out;
}

// Callers report strerror(errno) after a failed file call, and Win32 calls
// leave errno alone: without this the reason shown would be whatever an
// earlier C library call (the host's, even) left behind.
void SetErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
      errno = EACCES;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EBUSY;  // another program holds the file: see LastFailureErrno
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_NOT_SAME_DEVICE:
      errno = EXDEV;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_WRITE_PROTECT:
      errno = EROFS;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    default:
      errno = EIO;
      break;
  }
}

std::wstring WidenAnsi(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.rfind(prefix, 0) == 0; }

// The full path in the form no MAX_PATH limit applies to (\\?\C:\..., or
// \\?\UNC\server\share\... for a network path), so that the temporary file
// beside a destination of up to MAX_PATH characters, and its removal, work.
// Device names (COM1, NUL, AUX.matrix) keep their \\.\ form.
std::wstring LongPath(const std::string& path) {
  const std::wstring w = WidenAnsi(path);
  if (w.empty()) return w;
  const DWORD size = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (size == 0) return w;
  std::wstring full(size, L'\0');
  const DWORD n = GetFullPathNameW(w.c_str(), size, full.data(), nullptr);
  if (n == 0 || n >= size) return w;
  full.resize(n);
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A C stream on a handle just opened; the handle is closed when that fails.
std::FILE* StreamOf(HANDLE h, int flags, const char* mode) {
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), flags | _O_BINARY);
  if (fd == -1) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, mode);
  if (f == nullptr) _close(fd);
  return f;
}

class Win32Platform final : public Platform {
 public:
  void ShowMessage(const text::Message& caption, const text::Message& text) override {
    const text::Language language = UserLanguage();
    const std::wstring c = Widen(caption, language);
    const std::wstring t = Widen(text, language);
    MessageBoxW(nullptr, t.c_str(), c.c_str(), MB_OK);
  }
  bool PathExists(const std::string& path) override {
    return PathFileExistsA(path.c_str()) != FALSE;
  }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    // CopyFile writes the destination in place; copy to a temporary file
    // beside it first so that a failed copy never leaves half a file.
    const std::string tmp = TemporaryPathBeside(to);
    const std::wstring long_tmp = LongPath(tmp);
    if (CopyFileW(LongPath(from).c_str(), long_tmp.c_str(), TRUE) == FALSE) {
      SetErrnoFromLastError();
      DeleteFileW(long_tmp.c_str());
      return false;
    }
    // CopyFile carries the attributes over: a read-only source would give a
    // destination the next command could not replace (nor this temporary
    // file be deleted should the rename fail).
    const DWORD attrs = GetFileAttributesW(long_tmp.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesW(long_tmp.c_str(), attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (!RenameReplacing(tmp, to)) {
      DeleteFileW(long_tmp.c_str());  // errno still says why the rename failed
      return false;
    }
    return true;
  }
  std::optional<std::string> ShowFileDialog(const FileDialog& dialog) override {
    char file[kFileNameBufferSize] = {};
    const std::size_t n = dialog.initialFile.size() < kFileNameBufferSize
                              ? dialog.initialFile.size()
                              : kFileNameBufferSize - 1;
    dialog.initialFile.copy(file, n);
    OPENFILENAMEA ofn;
    ZeroMemory(&ofn, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = nullptr;
    ofn.lpstrFilter = dialog.filter.c_str();
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = file;
    ofn.nMaxFile = static_cast<DWORD>(kFileNameBufferSize);
    ofn.lpstrTitle = dialog.title.c_str();
    ofn.lpstrDefExt = nullptr;
    // `dialog` owns the directory text, so it stays alive until the call returns.
    ofn.lpstrInitialDir = dialog.initialDir ? dialog.initialDir->c_str() : nullptr;
    ofn.Flags = static_cast<DWORD>(dialog.flags);
    const BOOL ok = dialog.save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (ok == FALSE) return std::nullopt;
    return std::string(file);
  }
  void WriteConsoleLine(std::string_view line) override { WriteStdoutLine(line); }
};

}  // namespace

Platform& Native() {
  static Win32Platform platform;
  return platform;
}

text::Language UserLanguage() {
  return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? text::Language::japanese
                                                                    : text::Language::english;
}

std::string ToUtf8(const text::Message& message) {
  const std::wstring w = Widen(message, text::Language::english);
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

OutputTarget ResolveOutputTarget(const std::string& path) {
  // Windows resolves links on its own, and MoveFileEx replaces the file they name.
  return OutputTarget{path, true};
}

std::FILE* OpenStandardOutput() {
  // The bytes hold their own CR LF: text mode would double the CR.
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  return stdout;
}

void TakeOwnership(std::FILE*, const std::string&) noexcept {}

namespace {

// The volume and index that identify an existing file, links followed.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE h =
      CreateFileW(LongPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return ok != FALSE;
}

}  // namespace

std::string FileKey(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (FileIdentity(path, info)) {
    return "#" + std::to_string(info.dwVolumeSerialNumber) + ":" +
           std::to_string((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
  }
  // Names differing in case only are one file.
  std::wstring full = LongPath(path);
  if (!full.empty()) CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  std::string key = "@";
  for (const wchar_t c : full) {
    key += static_cast<char>(c & 0xFF);
    key += static_cast<char>((c >> 8) & 0xFF);
  }
  return key;
}

bool IsReadOnlyFile(const std::string& path) {
  const DWORD attrs = GetFileAttributesW(LongPath(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

bool AllowReplacing(const std::string& path) {
  const std::wstring w = LongPath(path);
  const DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_READONLY) == 0) return true;
  return SetFileAttributesW(w.c_str(), attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) !=
         FALSE;
}

void StartWriteBack(std::FILE*, std::uint64_t) noexcept {}

void ReturnFreeMemory() noexcept {}

void MapLargeBlocks() noexcept {}

int LastFailureErrno() {
  const int err = errno;
  // The C library reports a sharing or lock violation as EACCES, like a
  // read-only file; the system's own error tells them apart.
  if (err == EACCES) {
    const DWORD last = GetLastError();
    if (last == ERROR_SHARING_VIOLATION || last == ERROR_LOCK_VIOLATION) return EBUSY;
  }
  return err;
}

std::FILE* CreateNewFile(const std::string& path) {
  const std::wstring long_path = LongPath(path);
  const HANDLE h = CreateFileW(long_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return nullptr;
  }
  std::FILE* f = StreamOf(h, _O_WRONLY, "wb");
  if (f == nullptr) {
    DeleteFileW(long_path.c_str());
    errno = EMFILE;
  }
  return f;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  const std::wstring target = LongPath(to);
  if (MoveFileExW(LongPath(from).c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE) {
    return true;
  }
  SetErrnoFromLastError();
  if (errno == EACCES) {
    // Windows refuses to replace a file another program holds open with the
    // same error as a read-only one; asking for the access a replacement
    // needs tells them apart.
    const HANDLE probe =
        CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
    } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
      errno = EBUSY;
    }
  }
  return false;
}

bool NamesDevice(const std::string& path) {
  // The system itself maps device names to the \\.\ namespace.
  return StartsWith(LongPath(path), L"\\\\.\\");
}

std::FILE* OpenRegularFile(const std::string& path, bool& device) {
  device = NamesDevice(path);
  if (device) return nullptr;
  const HANDLE h = CreateFileW(LongPath(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return nullptr;
  }
  // Whatever else opens under a file's name (a path the system does not map
  // to a device but that still is one) is closed unread.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    device = true;
    return nullptr;
  }
  return StreamOf(h, _O_RDONLY, "rb");
}

bool IsDirectory(const std::string& path) {
  const DWORD attrs = GetFileAttributesA(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::uint64_t OpenFileSize(std::FILE* file) noexcept {
  if (file == nullptr) return 0;
  const __int64 size = _filelengthi64(_fileno(file));
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

std::uint64_t RegularFileSize(const std::string& path) {
  struct _stat64 st {};
  if (::_stat64(path.c_str(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::size_t StderrColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
  return 80;
}

std::uint64_t ProcessBytesRead() {
  IO_COUNTERS io{};
  if (GetProcessIoCounters(GetCurrentProcess(), &io)) return io.ReadTransferCount;
  return 0;
}

namespace {
StopHandler g_stopped;
std::chrono::seconds g_grace{0};

// The system runs console Ctrl-C handlers on a thread it starts for them.
void OnStopSignal(int sig) {
  g_stopped(sig, [] { std::this_thread::sleep_for(g_grace); });
}
}  // namespace

void CatchStopSignals(StopHandler stopped, std::chrono::seconds grace) {
  g_stopped = std::move(stopped);
  g_grace = grace;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

bool RemoveFile(const std::string& path) {
  if (DeleteFileW(LongPath(path).c_str()) != FALSE) return true;
  SetErrnoFromLastError();
  return false;
}

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "the lock and the condition variable are held as a pointer each");

void Mutex::lock() noexcept { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }

void Mutex::unlock() noexcept { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }

void Condition::WaitOnce(Mutex& locked) noexcept {
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&condition_),
                            reinterpret_cast<PSRWLOCK>(&locked.lock_), INFINITE, 0);
}

void Condition::NotifyAll() noexcept {
  WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&condition_));
}

}  // namespace korvane::platform
