#include "platform/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/sync.h"
#include "text/catalogue.h"
#include "text/error.h"

namespace korvane::platform {
namespace {

constexpr std::size_t kOutputBuffer = std::size_t{1} << 18;
// Write-back of a replacing file is started every this many bytes: large
// enough for long extents, small enough to overlap most of it.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;

[[noreturn]] void ThrowIo(const text::Phrase& what, const std::string& path, int err) {
  text::Message m;
  m.Say(what).Host(path);
  if (err != 0) m.Own(" (").Append(platform::DescribeFailure(err)).Own(")");
  throw Error(Error::Kind::io, std::move(m));
}

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The temporary files being written now, so that a process ending on a signal
// can remove them. Made while the lock is held, so that none appears once
// RemoveLiveTemporaries has run; never destroyed, as it may run during exit.
struct LiveTemporaries {
  Mutex mutex;
  std::vector<std::string> paths;
};
LiveTemporaries& Live() {
  static LiveTemporaries* live = new LiveTemporaries;
  return *live;
}

// Removes `temp` (when `remove`) and forgets it.
void Forget(const std::string& temp, bool remove) {
  LiveTemporaries& live = Live();
  const std::lock_guard<Mutex> lock(live.mutex);
  if (remove) platform::RemoveFile(temp);
  const auto at = std::find(live.paths.begin(), live.paths.end(), temp);
  if (at != live.paths.end()) live.paths.erase(at);
}

[[noreturn]] void ThrowInterrupted(const std::string& shown) {
  throw Error(Error::Kind::io,
              text::Message().Own("interrupted before ").Host(shown).Own(" was complete"));
}

}  // namespace

const std::string& StandardOutputName() {
  static const std::string name("\0-", 2);
  return name;
}

void RequestStop() noexcept { g_stop.store(true); }

bool StopRequested() noexcept { return g_stop.load(std::memory_order_relaxed); }

void RemoveLiveTemporaries() noexcept {
  g_stop.store(true);
  LiveTemporaries& live = Live();
  live.mutex.lock();
  for (const std::string& temp : live.paths) platform::RemoveFile(temp);
  live.paths.clear();
  live.mutex.unlock();
}

InputFile::~InputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool InputFile::Open(const std::string& path) {
  path_ = path;
  bool device = false;
  file_ = platform::OpenRegularFile(path, device);
  if (device) {
    throw Error(Error::Kind::refused,
                text::Message().Host(path).Own(": ").Say(text::kNotARegularFile));
  }
  size_ = platform::OpenFileSize(file_);
  return file_ != nullptr;
}

std::size_t InputFile::Read(char* data, std::size_t n) {
  if (!peeked_.empty()) {
    const std::size_t k = peeked_.copy(data, n);
    peeked_.erase(0, k);
    return k;
  }
  std::size_t got = 0;
  if (!Current().ReadFile(file_, data, n, got)) {
    ThrowIo(text::kCannotRead, path_, platform::LastFailureErrno());
  }
  return got;
}

std::string_view InputFile::Peek(std::size_t n) {
  while (peeked_.size() < n) {
    char block[64];
    const std::size_t want = std::min(n - peeked_.size(), sizeof block);
    std::size_t got = 0;
    if (!Current().ReadFile(file_, block, want, got)) {
      ThrowIo(text::kCannotRead, path_, platform::LastFailureErrno());
    }
    peeked_.append(block, got);
    if (got < want) break;
  }
  return std::string_view(peeked_).substr(0, n);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  InputFile in;
  if (!in.Open(path)) return false;
  out.clear();
  std::size_t size = 0;
  for (;;) {
    out.resize(size + (std::size_t{1} << 16));
    const std::size_t got = in.Read(out.data() + size, std::size_t{1} << 16);
    size += got;
    if (got == 0) break;
  }
  out.resize(size);
  return true;
}

bool ReadLeadingLines(const std::string& path, std::size_t lines, std::size_t max_bytes,
                      std::string& out, bool& complete) {
  InputFile in;
  if (!in.Open(path)) return false;
  out.clear();
  complete = true;
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::size_t seen = 0;
  for (;;) {
    if (out.size() >= max_bytes) {
      complete = false;
      return true;
    }
    const std::size_t before = out.size();
    out.resize(before + kChunk);
    const std::size_t got = in.Read(out.data() + before, kChunk);
    out.resize(before + got);
    if (got == 0) return true;
    for (std::size_t i = before; i < out.size(); ++i) {
      if (out[i] == '\n' && ++seen == lines) return true;
    }
  }
}

AtomicOutput::AtomicOutput(std::string destination) : destination_(std::move(destination)) {
  if (StopRequested()) ThrowInterrupted(destination_);
  if (destination_ == StandardOutputName()) {
    standardOutput_ = inPlace_ = true;
    file_ = platform::OpenStandardOutput();
  } else {
    const platform::OutputTarget target = platform::ResolveOutputTarget(destination_);
    if (target.loop) ThrowIo(text::kCannotWrite, destination_, ELOOP);
    // Said plainly here: a rename over a folder fails later with a reason that
    // depends on the path's spelling ("Not a directory" for "dir/").
    if (!kIsWindows && IsDirectory(target.path)) ThrowIo(text::kCannotWrite, destination_, EISDIR);
    inPlace_ = !target.replaceable;
    writeBehind_ = !inPlace_ && target.exists;
    targetPath_ = target.path;
    if (inPlace_) {
      temp_ = target.path;
      file_ = std::fopen(temp_.c_str(), "wb");
    } else {
      LiveTemporaries& live = Live();
      const std::lock_guard<Mutex> lock(live.mutex);
      if (StopRequested()) ThrowInterrupted(destination_);
      temp_ = platform::TemporaryPathBeside(target.path);
      live.paths.push_back(temp_);
      file_ = platform::CreateNewFile(temp_);
      if (file_ == nullptr) {
        const int err = platform::LastFailureErrno();
        live.paths.pop_back();
        errno = err;
      } else if (target.exists) {
        platform::TakeOwnership(file_, target.path);
      }
    }
  }
  if (file_ == nullptr) {
    const int err = platform::LastFailureErrno();
    temp_.clear();
    ThrowIo(text::kCannotWrite, destination_, err);
  }
  buffer_.reset(new char[kOutputBuffer]);
  begin_ = pos_ = buffer_.get();
  end_ = begin_ + kOutputBuffer;
}

AtomicOutput::~AtomicOutput() {
  if (file_ != nullptr && !standardOutput_) std::fclose(file_);
  if (!temp_.empty() && !inPlace_) Forget(temp_, true);
}

void AtomicOutput::Flush() {
  if (StopRequested()) Interrupted();
  const std::size_t n = static_cast<std::size_t>(pos_ - begin_);
  if (n != 0 && std::fwrite(begin_, 1, n, file_) != n) Fail();
  pos_ = begin_;
  Wrote(n);
}

void AtomicOutput::Wrote(std::size_t n) {
  written_ += n;
  if (writeBehind_ && written_ - writtenBack_ >= kWriteBackStep) {
    platform::StartWriteBack(file_, writtenBack_);
    writtenBack_ = written_;
  }
}

void AtomicOutput::WriteSlow(std::string_view bytes) {
  Flush();
  if (bytes.size() >= kOutputBuffer) {
    if (StopRequested()) Interrupted();
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail();
    Wrote(bytes.size());
  } else {
    std::memcpy(pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
  }
}

void AtomicOutput::CopyRest(InputFile& in) {
  if (!in.peeked_.empty()) {
    Write(in.peeked_);
    in.peeked_.clear();
  }
  Flush();
  if (std::fflush(file_) != 0) Fail();
  // In steps, so that a stop request is seen and write-back keeps up.
  constexpr std::size_t kStep = std::size_t{8} << 20;
  for (;;) {
    if (StopRequested()) Interrupted();
    std::size_t copied = 0;
    if (!Current().CopyRange(in.file_, file_, kStep, copied)) break;
    if (copied == 0) return;
    Wrote(copied);
  }
  char block[1 << 16];
  for (std::size_t got; (got = in.Read(block, sizeof block)) > 0;)
    Write(std::string_view(block, got));
}

void AtomicOutput::Fail() {
  const int err = platform::LastFailureErrno();
  Abandon();
  ThrowIo(text::kCannotWrite, Shown(), err);
}

void AtomicOutput::Interrupted() {
  Abandon();
  ThrowInterrupted(Shown());
}

void AtomicOutput::Abandon() {
  if (!standardOutput_) std::fclose(file_);
  file_ = nullptr;
  if (!inPlace_) Forget(temp_, true);
  temp_.clear();
}

std::string AtomicOutput::Shown() const {
  return standardOutput_ ? std::string("standard output") : destination_;
}

void AtomicOutput::Commit() {
  Flush();
  if (std::fflush(file_) != 0 || std::ferror(file_)) Fail();
  std::FILE* f = file_;
  file_ = nullptr;
  if (standardOutput_) {
    temp_.clear();
    return;
  }
  if (std::fclose(f) != 0) {
    const int err = platform::LastFailureErrno();
    if (!inPlace_) Forget(temp_, true);
    temp_.clear();
    ThrowIo(text::kCannotWrite, destination_, err);
  }
  if (inPlace_) {
    temp_.clear();
    return;
  }
  if (!platform::RenameReplacing(temp_, targetPath_)) {
    const int err = platform::LastFailureErrno();
    Forget(temp_, true);
    temp_.clear();
    ThrowIo(text::kCannotReplace, destination_, err);
  }
  Forget(temp_, false);
  temp_.clear();
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  AtomicOutput out(path);
  out.Write(bytes);
  out.Commit();
}

}  // namespace korvane::platform
