#include "platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"
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

}  // namespace

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
  const platform::OutputTarget target = platform::ResolveOutputTarget(destination_);
  inPlace_ = !target.replaceable;
  writeBehind_ = !inPlace_ && target.exists;
  targetPath_ = target.path;
  temp_ = inPlace_ ? target.path : platform::TemporaryPathBeside(target.path);
  file_ = inPlace_ ? std::fopen(temp_.c_str(), "wb") : platform::CreateNewFile(temp_);
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
  if (file_ != nullptr) std::fclose(file_);
  if (!temp_.empty() && !inPlace_) platform::RemoveFile(temp_);
}

void AtomicOutput::Flush() {
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
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail();
    Wrote(bytes.size());
  } else {
    std::memcpy(pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
  }
}

void AtomicOutput::Fail() {
  const int err = platform::LastFailureErrno();
  std::fclose(file_);
  file_ = nullptr;
  if (!inPlace_) platform::RemoveFile(temp_);
  temp_.clear();
  ThrowIo(text::kCannotWrite, destination_, err);
}

void AtomicOutput::Commit() {
  Flush();
  if (std::fflush(file_) != 0 || std::ferror(file_)) Fail();
  std::FILE* f = file_;
  file_ = nullptr;
  if (std::fclose(f) != 0) {
    const int err = platform::LastFailureErrno();
    if (!inPlace_) platform::RemoveFile(temp_);
    temp_.clear();
    ThrowIo(text::kCannotWrite, destination_, err);
  }
  if (inPlace_) {
    temp_.clear();
    return;
  }
  if (!platform::RenameReplacing(temp_, targetPath_)) {
    const int err = platform::LastFailureErrno();
    platform::RemoveFile(temp_);
    temp_.clear();
    ThrowIo(text::kCannotReplace, destination_, err);
  }
  temp_.clear();
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  AtomicOutput out(path);
  out.Write(bytes);
  out.Commit();
}

}  // namespace korvane::platform
