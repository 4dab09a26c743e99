// File input and all-or-nothing file output on C streams, which the platform
// opens: ANSI paths on Windows, regular files only for reading, no sharing
// restrictions on others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace korvane::platform {

// Sequential reader; Open() is false when the file cannot be opened for
// reading, and refuses (korvane::Error) a device or pipe without reading it.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();
  bool Open(const std::string& path);
  // Reads up to n bytes; 0 at end of file. Throws korvane::Error on a read error.
  std::size_t Read(char* data, std::size_t n);
  // The next n bytes (fewer at the end of the file), left for Read to return.
  std::string_view Peek(std::size_t n);
  // The file's size in bytes as it was opened (0 when it cannot be told).
  std::uint64_t Size() const { return size_; }

 private:
  friend class AtomicOutput;
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string peeked_;
  std::uint64_t size_ = 0;
};

// Reads a whole file; false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string& out);

// Reads from the start of a file until `lines` line feeds have been read, the
// end of the file, or `max_bytes`, whichever comes first (a device that never
// ends cannot exhaust memory); `out` may hold a little more than asked. False
// when the file cannot be opened. `complete` is false when `max_bytes` stopped it.
bool ReadLeadingLines(const std::string& path, std::size_t lines, std::size_t max_bytes,
                      std::string& out, bool& complete);

// Output that replaces its destination only when complete: the bytes go to a
// temporary file beside the destination, renamed over it by Commit(). Any
// failure throws korvane::Error naming the destination, and the destination
// keeps its old content; the temporary file is removed. A replaced file keeps
// its permission bits (and owner, where the process may set it). Devices and
// pipes are written directly; so is StandardOutputName(), the process's
// standard output.
class AtomicOutput {
 public:
  explicit AtomicOutput(std::string destination);
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;
  ~AtomicOutput();

  void Write(std::string_view bytes) {
    if (bytes.size() <= static_cast<std::size_t>(end_ - pos_)) {
      std::char_traits<char>::copy(pos_, bytes.data(), bytes.size());
      pos_ += bytes.size();
    } else {
      WriteSlow(bytes);
    }
  }
  // Room for at least n bytes at the returned pointer; finish with Advance().
  char* Reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) Flush();
    return pos_;
  }
  void Advance(char* new_pos) { pos_ = new_pos; }
  // Writes the rest of `in`, from where it stands to its end, as it is:
  // file to file inside the system where it can, else read and written.
  void CopyRest(InputFile& in);
  void Commit();

 private:
  void WriteSlow(std::string_view bytes);
  void Flush();
  void Wrote(std::size_t n);
  [[noreturn]] void Fail();
  [[noreturn]] void Interrupted();
  void Abandon();  // closes and removes what was written
  std::string Shown() const;

  std::string destination_;
  std::string targetPath_;
  std::string temp_;
  bool inPlace_ = false;
  bool standardOutput_ = false;    // file_ is stdout, flushed but never closed
  bool writeBehind_ = false;       // replacing a file: write back as we go
  std::uint64_t written_ = 0;      // bytes handed to the file
  std::uint64_t writtenBack_ = 0;  // bytes whose write-back was started
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};

// Writes `bytes` to `path` all or nothing (see AtomicOutput).
void WriteFileAtomically(const std::string& path, std::string_view bytes);

// The destination that stands for standard output: it holds a NUL byte, so no
// path a user or a host passes can be it.
const std::string& StandardOutputName();

// Stopping on a signal. Once requested, no new temporary file is made and
// output being written fails at its next write ("interrupted"); the command
// then winds down, each output removing its own temporary file.
void RequestStop() noexcept;  // async-signal-safe
bool StopRequested() noexcept;
// Removes the temporary files of every output still being written and makes
// no new ones: for a process that is about to end without unwinding.
void RemoveLiveTemporaries() noexcept;

}  // namespace korvane::platform
