// Portable implementation for the Linux build: boxes go to standard error as
// UTF-8, dialogs are answered by the host program (the command-line host
// installs its own answerer; without one a dialog counts as cancelled).
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <iconv.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace korvane::platform {
namespace {

std::string Cp932ToUtf8(const std::string& in) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out(in.size() * 3 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  while (src_left > 0) {
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) break;
      // Not CP932: keep the byte as it is rather than losing the rest.
      if (dst_left == 0) break;
      *dst++ = *src++;
      --src_left;
      --dst_left;
    }
  }
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

// The directory of a path, opened, and the path's last component. Calls made
// relative to it work even when the whole path is longer than PATH_MAX, as
// the temporary file beside a long destination may be.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path) {
    const std::size_t cut = path.rfind('/');
    if (cut == std::string::npos || cut + 1 == path.size()) {
      name_ = path;
      return;
    }
    name_ = path.substr(cut + 1);
    const std::string dir = cut == 0 ? std::string("/") : path.substr(0, cut);
#ifdef O_PATH
    fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    ok_ = fd_ >= 0;
  }
  ~InDirectory() {
    if (fd_ >= 0) ::close(fd_);
  }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

  bool ok() const { return ok_; }  // errno says why not
  int fd() const { return fd_ >= 0 ? fd_ : AT_FDCWD; }
  const char* name() const { return name_.c_str(); }

 private:
  int fd_ = -1;
  bool ok_ = true;
  std::string name_;
};

class PosixPlatform final : public Platform {
 public:
  void ShowMessage(const text::Message& caption, const text::Message& text) override {
    const std::string line = "[" + ToUtf8(caption) + "] " + ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  bool PathExists(const std::string& path) override {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
  }
  bool CopyRange(std::FILE* from, std::FILE* to, std::size_t n, std::size_t& copied) override {
    copied = 0;
    off_t in_at = ::ftello(from), out_at = ::ftello(to);
    if (in_at < 0 || out_at < 0) return false;
    // Page cache to page cache: the bytes never come up to this process.
    const ssize_t got = ::copy_file_range(::fileno(from), &in_at, ::fileno(to), &out_at, n, 0);
    if (got < 0) return false;  // a pipe, another file system, an old kernel, or a fault
    if (::fseeko(from, in_at, SEEK_SET) != 0 || ::fseeko(to, out_at, SEEK_SET) != 0) return false;
    copied = static_cast<std::size_t>(got);
    return true;
  }
  bool CopyFileReplacing(const std::string& from, const std::string& to) override {
    bool device = false;
    std::FILE* in = OpenRegularFile(from, device);
    if (in == nullptr) return false;
    const OutputTarget target = ResolveOutputTarget(to);
    if (target.loop) {
      std::fclose(in);
      errno = ELOOP;
      return false;
    }
    const std::string tmp = target.replaceable ? TemporaryPathBeside(target.path) : target.path;
    std::FILE* out = target.replaceable ? CreateNewFile(tmp) : std::fopen(tmp.c_str(), "wb");
    if (out == nullptr) {
      std::fclose(in);
      return false;
    }
    if (target.replaceable && target.exists) TakeOwnership(out, target.path);
    std::unique_ptr<char[]> buf(new char[1 << 16]);
    bool ok = true;
    for (;;) {
      const std::size_t n = std::fread(buf.get(), 1, 1 << 16, in);
      if (n > 0 && std::fwrite(buf.get(), 1, n, out) != n) ok = false;
      if (n < (1 << 16)) break;
    }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    if (std::fflush(out) != 0) ok = false;
    if (std::fclose(out) != 0) ok = false;
    if (!target.replaceable) return ok;
    if (ok) ok = RenameReplacing(tmp, target.path);
    if (!ok) {
      const int err = errno;
      RemoveFile(tmp);
      errno = err;
    }
    return ok;
  }
  std::optional<std::string> ShowFileDialog(const FileDialog&) override { return std::nullopt; }
  void WriteConsoleLine(std::string_view line) override { WriteStdoutLine(line); }
};

}  // namespace

Platform& Native() {
  static PosixPlatform platform;
  return platform;
}

text::Language UserLanguage() { return text::Language::english; }

std::string ToUtf8(const text::Message& message) {
  std::string out;
  const text::Message english = message.In(text::Language::english);
  for (const auto& piece : english.pieces()) {
    // Host bytes on Linux are already in the system's (UTF-8) encoding.
    out +=
        piece.encoding == text::Message::Encoding::cp932 ? Cp932ToUtf8(piece.bytes) : piece.bytes;
  }
  return out;
}

namespace {

std::string DirectoryPart(const std::string& path) {
  const std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? std::string("/") : path.substr(0, cut);
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real != nullptr ? std::string(real.get()) : std::string();
}

// Where `path` leads, links followed one by one, so that a link to a file not
// there yet leads to where it will be. `magic` is set for a link under /proc
// (/dev/stdout is one): it names an open file of a process, which is written
// through, never replaced.
std::string FollowLinks(const std::string& path, bool& magic) {
  std::string at = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    const std::string dir = RealPath(DirectoryPart(at));
    if (dir.rfind("/proc/", 0) == 0) {
      magic = true;
      return path;
    }
    std::string to(PATH_MAX, '\0');
    const ssize_t n = ::readlink(at.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= to.size()) return at;
    to.resize(static_cast<std::size_t>(n));
    at = to[0] == '/' ? to : DirectoryPart(at) + "/" + to;
  }
  return at;
}

}  // namespace

OutputTarget ResolveOutputTarget(const std::string& path) {
  OutputTarget target{path, true};
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return target;
  if (S_ISLNK(st.st_mode)) {
    bool magic = false;
    target.path = FollowLinks(path, magic);
    if (magic) {
      target.path = path;
      target.replaceable = false;
      return target;
    }
    if (::stat(path.c_str(), &st) != 0) {
      // Renamed over, the last link of a loop would become a file; refused instead.
      target.loop = errno == ELOOP;
      if (target.loop) target.replaceable = false;
      return target;  // otherwise it leads to a file not there yet
    }
  }
  target.replaceable = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
  target.exists = S_ISREG(st.st_mode);
  if (!target.replaceable) target.path = path;
  return target;
}

std::FILE* OpenStandardOutput() { return stdout; }

void TakeOwnership(std::FILE* file, const std::string& existing) noexcept {
  struct stat st {};
  if (::stat(existing.c_str(), &st) != 0) return;
  const int fd = ::fileno(file);
  mode_t mode = st.st_mode & 07777;
  // Without the owner, set-id bits would hand the file's rights to another.
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  (void)::fchmod(fd, mode);
}

std::string FileKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    return "#" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  bool magic = false;
  const std::string to = FollowLinks(path, magic);
  const std::string dir = RealPath(DirectoryPart(to));
  const std::size_t cut = to.rfind('/');
  return "@" +
         (dir.empty() ? to : dir + "/" + (cut == std::string::npos ? to : to.substr(cut + 1)));
}

bool IsReadOnlyFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return (st.st_mode & 0222) == 0 || (::access(path.c_str(), W_OK) != 0 && errno == EACCES);
}

bool AllowReplacing(const std::string&) { return true; }

int LastFailureErrno() { return errno; }

std::FILE* CreateNewFile(const std::string& path) {
  const InDirectory at(path);
  if (!at.ok()) return nullptr;
  const int fd = ::openat(at.fd(), at.name(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    const int err = errno;
    ::close(fd);
    ::unlinkat(at.fd(), at.name(), 0);
    errno = err;
  }
  return f;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  const InDirectory source(from);
  if (!source.ok()) return false;
  const InDirectory target(to);
  if (!target.ok()) return false;
  return ::renameat(source.fd(), source.name(), target.fd(), target.name()) == 0;
}

void StartWriteBack(std::FILE* file, std::uint64_t from) noexcept {
  // Advice only: a failure leaves the write-back to the kernel's own timing.
  (void)::sync_file_range(::fileno(file), static_cast<off64_t>(from), 0, SYNC_FILE_RANGE_WRITE);
}

void ReturnFreeMemory() noexcept {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

void MapLargeBlocks() noexcept {
#if defined(__GLIBC__)
  (void)::mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool NamesDevice(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
         !S_ISDIR(st.st_mode);
}

std::FILE* OpenRegularFile(const std::string& path, bool& device) {
  device = NamesDevice(path);
  if (device) return nullptr;
  // Not blocking: should a FIFO have taken the file's place since the check,
  // opening it must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    device = !S_ISDIR(st.st_mode);
    ::close(fd);
    errno = device ? EINVAL : EISDIR;
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) ::close(fd);
  return f;
}

std::uint64_t OpenFileSize(std::FILE* file) noexcept {
  struct stat st {};
  if (file == nullptr || ::fstat(::fileno(file), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t RegularFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

bool StdinIsTerminal() { return ::isatty(0) != 0; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

std::size_t StderrColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::uint64_t ProcessBytesRead() {
  // "rchar": bytes passed to read() calls, whether from the disk or the page cache.
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

void CatchStopSignals(StopHandler stopped, std::chrono::seconds grace) {
  // Every thread leaves the signals to one that waits for them.
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGINT, SIGTERM}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaddset(&set, sig);
  }
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  try {
    std::thread([set, grace, stopped = std::move(stopped)] {
      int sig = 0;
      while (::sigwait(&set, &sig) != 0) {
      }
      stopped(sig, [&set, grace] {
        const timespec wait{static_cast<time_t>(grace.count()), 0};
        ::sigtimedwait(&set, nullptr, &wait);
      });
    }).detach();
  } catch (...) {
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

bool RemoveFile(const std::string& path) {
  const InDirectory at(path);
  return at.ok() && ::unlinkat(at.fd(), at.name(), 0) == 0;
}

}  // namespace korvane::platform
