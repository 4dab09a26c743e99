// The few operating-system services the commands use, behind one interface so
// that the Win32 build, the portable (Linux) build and the tests each supply
// their own: message boxes, file existence, file copy, the file dialogs and
// the console line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "text/message.h"

namespace korvane::platform {

#ifdef _WIN32
inline constexpr std::string_view kNewline = "\r\n";
inline constexpr char kPathSeparator = '\\';
inline constexpr bool kIsWindows = true;
#else
inline constexpr std::string_view kNewline = "\n";
inline constexpr char kPathSeparator = '/';
inline constexpr bool kIsWindows = false;
#endif

// Settings of one open or save file dialog.
struct FileDialog {
  bool save = false;                      // save dialog, otherwise open dialog
  std::string title;                      // window title
  std::string filter;                     // pairs of zero-terminated texts, ended by an empty one
  std::string initialFile;                // initial content of the file-name buffer
  std::optional<std::string> initialDir;  // nullopt: let the system choose
  unsigned long flags = 0;                // OFN_* flags
};

inline constexpr unsigned long kOfnOverwritePrompt = 0x2;
inline constexpr unsigned long kOfnFileMustExist = 0x1000;
inline constexpr std::size_t kFileNameBufferSize = 260;

class Platform {
 public:
  virtual ~Platform() = default;
  // Modal box, no owner window, one OK button, no icon.
  virtual void ShowMessage(const text::Message& caption, const text::Message& text) = 0;
  // True for an existing file or directory.
  virtual bool PathExists(const std::string& path) = 0;
  // Copies `from` onto `to`, replacing it; false when nothing was copied,
  // errno (LastFailureErrno) then saying why.
  virtual bool CopyFileReplacing(const std::string& from, const std::string& to) = 0;
  // Shows the dialog; the chosen path, or nullopt when cancelled or failed.
  virtual std::optional<std::string> ShowFileDialog(const FileDialog& dialog) = 0;
  // One line on standard output, flushed.
  virtual void WriteConsoleLine(std::string_view line) = 0;
  // Starts a thread running `body` into `out`; false when none could be started.
  // Tests replace it to refuse threads; callers then carry on with fewer.
  virtual bool StartThread(std::thread& out, std::function<void()> body);
  // Reads up to n bytes of `file` into `data`, their count into `got`; false
  // when the read failed (errno then says why). Tests replace it to make
  // reads fail part way through a file.
  virtual bool ReadFile(std::FILE* file, char* data, std::size_t n, std::size_t& got);
  // Copies up to n bytes from where `from` stands to where `to` stands (its
  // buffer flushed), inside the system where it can, both streams moved on;
  // `copied` is 0 at the end of `from`. False when nothing was copied this
  // way (none here: a platform that can says so): the caller reads and
  // writes instead, which also reports any real failure.
  virtual bool CopyRange(std::FILE* from, std::FILE* to, std::size_t n, std::size_t& copied);
};

// The platform in force: the real one unless a test or host installed another.
Platform& Current();
// Installs `p` (nullptr restores the real platform); returns the previous one.
Platform* Install(Platform* p);
// The real platform of this build.
Platform& Native();

// `line` and a line feed on standard output, flushed at once so that a host
// reading the pipe sees it before the command returns.
void WriteStdoutLine(std::string_view line);

// The language boxes speak: Japanese when the user's Windows display
// language is Japanese, otherwise (and always on Linux) English.
text::Language UserLanguage();

// The message as UTF-8, for consoles and tests; phrases in English.
std::string ToUtf8(const text::Message& message);

// errno of the file call that just failed. On Windows a file held open by
// another program gives EBUSY rather than the C library's EACCES, so that the
// user is told to close it there.
int LastFailureErrno();

// Why a file call failed, from its errno, in words that say what to do.
text::Message DescribeFailure(int err);

// Where output meant for `path` must really go: symbolic links are followed so
// that a replacement lands on the file they name, the links kept. `replaceable`
// is false for devices and pipes (also behind a link such as /dev/stdout),
// which are written in place.
struct OutputTarget {
  std::string path;
  bool replaceable = true;
  bool exists = false;  // a file is there to be replaced
  bool loop = false;    // symbolic links that lead round in a circle: nothing to write through
};
OutputTarget ResolveOutputTarget(const std::string& path);

// Standard output as a stream for bytes (binary mode on Windows, where CR LF
// are already in the bytes).
std::FILE* OpenStandardOutput();

// Gives `file`, a new file about to replace `existing`, the permission bits
// and owner of `existing`, as far as the process may; nothing on Windows.
void TakeOwnership(std::FILE* file, const std::string& existing) noexcept;

// A key that two paths share exactly when they name the same file, links
// followed (its device and number); for a path where nothing exists yet, the
// place where it would be made.
std::string FileKey(const std::string& path);

// True for an existing regular file that is read-only: the read-only
// attribute on Windows; on Linux no write permission for this process, or
// no write permission bit at all (which root could still write).
bool IsReadOnlyFile(const std::string& path);

// Lets a read-only file be replaced (clears the attribute on Windows, where
// it stops a rename); false when it cannot. Nothing to do on Linux.
bool AllowReplacing(const std::string& path);

// True for an existing directory (which C streams on Linux would open).
bool IsDirectory(const std::string& path);

// True when `path` names a device, a pipe or a socket (on Windows also a
// reserved device name: COM1, NUL, AUX.matrix ...). The library reads none:
// a serial port or pipe can keep a read waiting for ever, NUL reads as empty.
bool NamesDevice(const std::string& path);

// Opens an existing regular file for reading: nullptr when it cannot be
// opened or is a directory; for a device, pipe or socket also sets `device`,
// having read nothing (a Windows device name is not even opened).
std::FILE* OpenRegularFile(const std::string& path, bool& device);

// The size in bytes of an open regular file; 0 when it cannot be told.
std::uint64_t OpenFileSize(std::FILE* file) noexcept;

// The size in bytes of an existing regular file; 0 for anything else.
std::uint64_t RegularFileSize(const std::string& path);

// True when standard input is an interactive terminal.
bool StdinIsTerminal();
// True when standard error is an interactive terminal.
bool StderrIsTerminal();
// Columns of the terminal standard error shows on; 80 when it cannot be told.
std::size_t StderrColumns();
// Bytes this process has read so far, from the operating system's own
// accounting (it moves while a big file is being read); 0 where unknown.
std::uint64_t ProcessBytesRead();

// Once SIGINT or SIGTERM (on Windows also Ctrl-C) arrives, calls
// `stopped(sig, wait)` on a thread of its own, never inside a signal handler,
// so that it may lock and print; `wait()` returns after `grace`, or sooner
// where a second signal can be seen. A signal the process was started
// ignoring (a shell's background job and Ctrl-C) stays ignored. For the
// command-line host: a process-wide choice, made once at start.
using StopHandler = std::function<void(int sig, const std::function<void()>& wait)>;
void CatchStopSignals(StopHandler stopped, std::chrono::seconds grace);

// A path for a temporary file in the directory of `target`: ".~kv" and 12
// hex digits, as short whatever the target's name, so that a target within a
// few characters of the system's path or name limits can still be replaced.
std::string TemporaryPathBeside(const std::string& target);
// Creates the file `path`, which must not exist yet, for writing; nullptr
// (errno set) when it cannot. Unlike the C library's fopen it takes paths
// beyond MAX_PATH on Windows and PATH_MAX on Linux, as long as their
// directory can be reached.
std::FILE* CreateNewFile(const std::string& path);
// Atomically puts `from` (a finished temporary file) in place of `to`; as
// CreateNewFile, not bound to MAX_PATH or PATH_MAX.
bool RenameReplacing(const std::string& from, const std::string& to);
// Starts writing `file`'s bytes from offset `from` on to the disk, without
// waiting for them. Renaming a new file over an existing one makes some file
// systems (ext4) write the new file back first, on the renaming thread;
// starting while the file is still being written overlaps that with the
// work. Does nothing where the system offers no such call.
void StartWriteBack(std::FILE* file, std::uint64_t from) noexcept;
// Gives the memory the C library's heaps hold free back to the system, where
// it keeps it (glibc keeps a heap for each thread that allocated).
void ReturnFreeMemory() noexcept;
// Blocks of a megabyte or more get pages of their own, given back when freed.
// glibc otherwise raises that bound to the largest block freed so far (a
// vertex list outgrown while loading), and then keeps the next tens of
// megabytes of arrays and indexes in its heap after they are freed. A
// process-wide choice: the command-line host makes it at start.
void MapLargeBlocks() noexcept;
// Removes a file; false when it could not be removed. Not bound to MAX_PATH
// or PATH_MAX either, so that a temporary file never stays behind.
bool RemoveFile(const std::string& path);
// A name unique to this process and call, for temporary files.
std::string UniqueSuffix();

}  // namespace korvane::platform
