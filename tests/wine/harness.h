// What the Wine tests share: the real Korvane.dll loaded the way a host loads
// it, scratch directories on disk, and a watcher thread that reads and answers
// the message boxes and file dialogs the library opens.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"

namespace kvtest {

// A host that declares the result as double: the float 0.0 must read as 0.0 too.
using DoubleCommand = double (*)(const char* text, double value, char* buf1, int32_t size1,
                                 char* buf2, int32_t size2, intptr_t data);

// Korvane.dll from the directory of this executable, loaded once per process.
HMODULE Library();
// The export of that name; the test fails (and nullptr is returned) when it is missing.
KorvaneCommand Command(const char* name);

// Calls an export with the given text and value, and no buffers.
float Call(const char* name, const char* text, double value = 0.0);

// ANSI <-> UTF-16 in the system code page, as the library converts host text.
std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

// Whole-file helpers on real files. ReadBytes returns nullopt when the file
// cannot be opened.
void WriteBytes(const std::string& path, const std::string& bytes);
std::optional<std::string> ReadBytes(const std::string& path);
bool Exists(const std::string& path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDirectory(const std::string& dir);

// A fresh directory under the Windows temp directory, removed with everything
// in it when the object goes away. Path() ends with a backslash. The file
// dialogs move the process's current directory to where they were answered,
// which would keep the directory from being removed: the current directory
// is put back first.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }
  // Creates a subdirectory and returns its path with a trailing backslash.
  std::string MakeSubdir(const std::string& name) const;
  // Creates a subdirectory whose path, with its trailing backslash, is
  // `length` characters long, and returns that path.
  std::string MakeSubdirOfLength(std::size_t length) const;

 private:
  std::string path_;
  std::wstring previous_cwd_;
};

// A window the watcher met while a command ran.
struct SeenWindow {
  enum class Kind { messageBox, fileDialog };
  Kind kind = Kind::messageBox;
  std::wstring caption;   // window title
  std::wstring text;      // message box: its text
  std::wstring fileName;  // file dialog: the file-name field as first shown
};

// How to answer one file dialog: type `path` and confirm, or cancel.
struct DialogAnswer {
  std::optional<std::wstring> path;
  static DialogAnswer Confirm(const std::string& p) { return {Widen(p)}; }
  static DialogAnswer Cancel() { return {std::nullopt}; }
};

// Polls for top-level "#32770" windows of this process from a helper thread.
// Message boxes are read and answered OK (Yes when they ask a question, as the
// overwrite prompt does); file dialogs are answered from `answers` in order,
// and cancelled once the answers run out. Every wait has a time-out: a window
// that does not close after being answered is closed by force and the watcher
// reports that it timed out; a command that has not returned after a minute
// (one blocked reading a device, say) ends the test program with a message.
class WindowWatcher {
 public:
  explicit WindowWatcher(std::vector<DialogAnswer> answers = {});
  ~WindowWatcher();
  WindowWatcher(const WindowWatcher&) = delete;
  WindowWatcher& operator=(const WindowWatcher&) = delete;

  // Stops watching (the command has returned, so no modal window is left)
  // and returns what was seen, in order.
  std::vector<SeenWindow> Finish();
  bool TimedOut() const { return timed_out_; }

 private:
  void Run();
  void Handle(HWND hwnd);

  std::deque<DialogAnswer> answers_;
  std::vector<SeenWindow> seen_;
  std::vector<std::pair<HWND, ULONGLONG>> answered_;  // window, tick when answered
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> timed_out_{false};
  std::thread thread_;
};

// Runs one export on this thread while a watcher answers its windows.
struct Watched {
  std::vector<SeenWindow> windows;
  bool timedOut = false;
};
Watched CallWatched(const char* name, const char* text, double value = 0.0,
                    std::vector<DialogAnswer> answers = {});

// For test failure output.
std::string Describe(const std::vector<SeenWindow>& windows);

// Runs this executable again with `args` and returns what it wrote on
// standard output and its exit code; the child is ended after `timeout_ms`.
struct ChildResult {
  std::string out;
  DWORD exitCode = 0;
  bool timedOut = false;
};
ChildResult RunSelf(const std::wstring& args, DWORD timeout_ms);

}  // namespace kvtest
