// The few operating-system services the commands use, behind one interface so
// that the Win32 build, the portable (Linux) build and the tests each supply
// their own: message boxes, file existence, file copy, the file dialogs and
// the console line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Message text assembled from pieces of two kinds: the library's own texts
// (code page 932 bytes) and bytes that came from the host or the file system
// (system ANSI code page). Each piece is converted from its own code page when
// shown, so boxes read correctly whatever the system locale.
class Message {
 public:
  enum class Encoding { cp932, ansi };
  struct Piece {
    std::string bytes;
    Encoding encoding;
  };

  Message() = default;
  // Convenience: a message that is one piece of the library's own text.
  Message(std::string_view own) { Own(own); }  // NOLINT(google-explicit-constructor)
  Message(const char* own) { Own(own); }       // NOLINT(google-explicit-constructor)

  Message& Own(std::string_view cp932) {
    pieces_.push_back({std::string(cp932), Encoding::cp932});
    return *this;
  }
  Message& Host(std::string_view ansi) {
    pieces_.push_back({std::string(ansi), Encoding::ansi});
    return *this;
  }
  Message& Append(const Message& other) {
    pieces_.insert(pieces_.end(), other.pieces_.begin(), other.pieces_.end());
    return *this;
  }
  const std::vector<Piece>& pieces() const { return pieces_; }

 private:
  std::vector<Piece> pieces_;
};

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
  virtual void ShowMessage(const Message& caption, const Message& text) = 0;
  // True for an existing file or directory.
  virtual bool PathExists(const std::string& path) = 0;
  // Copies `from` onto `to`, replacing it; false when nothing was copied.
  virtual bool CopyFileReplacing(const std::string& from, const std::string& to) = 0;
  // Shows the dialog; the chosen path, or nullopt when cancelled or failed.
  virtual std::optional<std::string> ShowFileDialog(const FileDialog& dialog) = 0;
  // One line on standard output, flushed.
  virtual void WriteConsoleLine(std::string_view line) = 0;
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

// The message as UTF-8, for consoles and tests.
std::string ToUtf8(const Message& message);

// Where output meant for `path` must really go: symbolic links are followed so
// that a replacement lands on the file they name. `replaceable` is false for
// devices and pipes, which are written in place.
struct OutputTarget {
  std::string path;
  bool replaceable = true;
};
OutputTarget ResolveOutputTarget(const std::string& path);

// True for an existing directory (which C streams on Linux would open).
bool IsDirectory(const std::string& path);

// True when standard input is an interactive terminal.
bool StdinIsTerminal();

// Atomically puts `from` (a finished temporary file) in place of `to`.
bool RenameReplacing(const std::string& from, const std::string& to);
// Removes a file; false when it could not be removed.
bool RemoveFile(const std::string& path);
// A name unique to this process and call, for temporary files.
std::string UniqueSuffix();

}  // namespace korvane::platform
