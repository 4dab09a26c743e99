// Win32 implementation: the real message box, shell, copy and common-dialog
// calls the host application's users know.
// windows.h first: the other Windows headers rely on what it defines.
#include <windows.h>

#include <commdlg.h>
#include <io.h>
#include <shlwapi.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace korvane::platform {
namespace {

std::wstring Widen(const text::Message& message) {
  std::wstring out;
  for (const auto& piece : message.pieces()) {
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
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
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

class Win32Platform final : public Platform {
 public:
  void ShowMessage(const text::Message& caption, const text::Message& text) override {
    const std::wstring c = Widen(caption);
    const std::wstring t = Widen(text);
    MessageBoxW(nullptr, t.c_str(), c.c_str(), MB_OK);
  }
  bool PathExists(const std::string& path) override {
    return PathFileExistsA(path.c_str()) != FALSE;
  }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    // CopyFileA writes the destination in place; copy to a temporary file
    // beside it first so that a failed copy never leaves half a file.
    const std::string tmp = to + ".~kv" + UniqueSuffix();
    if (CopyFileA(from.c_str(), tmp.c_str(), FALSE) == FALSE) {
      DeleteFileA(tmp.c_str());
      return false;
    }
    // CopyFileA carries the attributes over: a read-only source would give a
    // destination the next command could not replace (nor this temporary
    // file be deleted should the rename fail).
    const DWORD attrs = GetFileAttributesA(tmp.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesA(tmp.c_str(), attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (!RenameReplacing(tmp, to)) {
      DeleteFileA(tmp.c_str());
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

std::string ToUtf8(const text::Message& message) {
  const std::wstring w = Widen(message);
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

bool RenameReplacing(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
      FALSE) {
    return true;
  }
  SetErrnoFromLastError();
  return false;
}

bool IsDirectory(const std::string& path) {
  const DWORD attrs = GetFileAttributesA(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool RemoveFile(const std::string& path) {
  if (DeleteFileA(path.c_str()) != FALSE) return true;
  SetErrnoFromLastError();
  return false;
}

}  // namespace korvane::platform
