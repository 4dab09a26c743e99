#include "obj/block_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace korvane::obj {
namespace {

enum class Kind {
  lines,     // whole lines for a worker
  longLine,  // a line longer than a block starts here: the caller reads it
  failed,    // reading failed here
};

enum class State { free, filled, working, done };

struct Slot {
  std::vector<char> input;
  std::size_t size = 0;
  bool final = false;
  Kind kind = Kind::lines;
  State state = State::free;
  std::exception_ptr error;
};

// The last line feed in [data, data + n), or nullptr.
const char* LastLineFeed(const char* data, std::size_t n) {
  for (std::size_t i = n; i > 0; --i) {
    if (data[i - 1] == '\n') return data + i - 1;
  }
  return nullptr;
}

class Pipeline {
 public:
  Pipeline(platform::InputFile& in, BlockWork& work, const PipelineShape& shape)
      : in_(in), work_(work), shape_(shape), slots_(shape.slots), queue_(shape.slots) {}

  ~Pipeline() { Stop(); }

  bool Start(std::vector<char>& first) {
    for (std::size_t i = 0; i < shape_.workers; ++i) {
      try {
        workers_.emplace_back([this] { WorkerLoop(); });
      } catch (const std::system_error&) {
        break;  // fewer workers, or none
      }
    }
    if (workers_.empty()) return false;
    pending_.swap(first);
    pendingEnd_ = pending_.size();
    try {
      reader_ = std::thread([this] { ReaderLoop(); });
    } catch (const std::system_error&) {
      Stop();
      pending_.swap(first);
      return false;
    }
    return true;
  }

  // The calling thread's part: blocks in file order.
  void Deliver() {
    std::uint64_t lines = 0;
    for (std::uint64_t seq = 0;; ++seq) {
      Slot& s = slots_[seq % slots_.size()];
      {
        std::unique_lock<std::mutex> lock(mutex_);
        deliverCv_.wait(lock, [&] {
          return (seq < filled_ && (s.kind != Kind::lines || s.state == State::done)) ||
                 (inputDone_ && seq == filled_);
        });
        if (seq == filled_) return;
      }
      if (s.error) std::rethrow_exception(s.error);
      switch (s.kind) {
        case Kind::lines:
          lines += work_.Deliver(static_cast<std::size_t>(seq % slots_.size()),
                                 std::string_view(s.input.data(), s.size), s.final, lines);
          break;
        case Kind::longLine:
          // The reader waits meanwhile: the file and its pending bytes are ours.
          ReadLongLine(lines);
          ++lines;
          break;
        case Kind::failed:
          break;  // its error was rethrown above
      }
      std::lock_guard<std::mutex> lock(mutex_);
      s.state = State::free;
      if (s.kind == Kind::longLine) longLineDone_ = true;
      readerCv_.notify_one();
    }
  }

 private:
  // Ends every thread; after an error, before it is rethrown.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    readerCv_.notify_all();
    workerCv_.notify_all();
    if (reader_.joinable()) reader_.join();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  void ReadLongLine(std::uint64_t lines_before) {
    LineReader reader(in_, std::move(pending_), pendingBegin_, pendingEnd_, shape_.pieceBlock,
                      shape_.maxPiece);
    work_.LongLine(reader, lines_before);
    eof_ = reader.eof();
    fileDone_ = reader.finished();
    reader.TakeUnread(pending_, pendingBegin_, pendingEnd_);
  }

  // Publishes the block in `s` as number filled_.
  void Publish(Slot& s, Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    s.kind = kind;
    s.state = State::filled;
    if (kind == Kind::lines) {
      queue_[queued_++ % queue_.size()] = static_cast<std::size_t>(filled_ % slots_.size());
      workerCv_.notify_one();
    }
    ++filled_;
    deliverCv_.notify_one();
  }

  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    inputDone_ = true;
    workerCv_.notify_all();
    deliverCv_.notify_one();
  }

  // Waits for the slot of the next block; nullptr when stopped.
  Slot* NextSlot() {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& s = slots_[filled_ % slots_.size()];
    readerCv_.wait(lock, [&] { return stop_ || s.state == State::free; });
    if (stop_) return nullptr;
    s.error = nullptr;
    return &s;
  }

  void ReaderLoop() {
    try {
      ReadBlocks();
    } catch (...) {
      // Nothing was published for this block yet: the slot is still free.
      Slot* s = NextSlot();
      if (s != nullptr) {
        s->error = std::current_exception();
        Publish(*s, Kind::failed);
      }
    }
    Finish();
  }

  void ReadBlocks() {
    const std::size_t block = shape_.block;
    for (;;) {
      Slot* slot = NextSlot();
      if (slot == nullptr) return;
      Slot& s = *slot;
      if (s.input.size() < block) s.input.resize(block);
      char* data = s.input.data();
      const std::size_t carried = pendingEnd_ - pendingBegin_;
      const std::size_t take = std::min(carried, block);
      if (take > 0) std::memcpy(data, pending_.data() + pendingBegin_, take);
      std::size_t n = take;
      std::exception_ptr read_error;
      while (n < block && !eof_) {
        std::size_t got = 0;
        try {
          got = in_.Read(data + n, block - n);
        } catch (...) {
          read_error = std::current_exception();
          break;
        }
        if (got == 0) eof_ = true;
        n += got;
      }
      const bool all_pending = take == carried;
      const char* lf = LastLineFeed(data, n);
      if (read_error) {
        // The whole lines read before the failure go first, as they would
        // line by line; then the error.
        if (lf != nullptr) {
          s.size = static_cast<std::size_t>(lf - data) + 1;
          s.final = false;
          Publish(s, Kind::lines);
        }
        std::rethrow_exception(read_error);
      }
      if (eof_ && all_pending && (lf != nullptr || n < block)) {
        // Everything left: whole lines, then the last line (maybe empty). A
        // last line filling the block goes in pieces, as any longer line.
        s.size = n;
        s.final = true;
        Publish(s, Kind::lines);
        return;
      }
      if (lf != nullptr) {
        const std::size_t cut = static_cast<std::size_t>(lf - data) + 1;
        if (all_pending) {
          pending_.assign(data + cut, data + n);
          pendingBegin_ = 0;
          pendingEnd_ = pending_.size();
        } else {
          pendingBegin_ += cut;
        }
        s.size = cut;
        s.final = false;
        Publish(s, Kind::lines);
        continue;
      }
      // No line feed in a whole block: the caller streams this line in
      // pieces, from all the bytes read of it.
      if (all_pending) {
        s.input.swap(pending_);
        pendingBegin_ = 0;
        pendingEnd_ = n;
      }
      Publish(s, Kind::longLine);
      std::unique_lock<std::mutex> lock(mutex_);
      readerCv_.wait(lock, [&] { return stop_ || longLineDone_; });
      longLineDone_ = false;
      if (stop_ || fileDone_) return;
    }
  }

  void WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      workerCv_.wait(lock, [&] { return stop_ || taken_ < queued_ || inputDone_; });
      if (stop_ || taken_ == queued_) return;
      const std::size_t index = queue_[taken_++ % queue_.size()];
      Slot& s = slots_[index];
      s.state = State::working;
      lock.unlock();
      try {
        work_.Process(index, std::string_view(s.input.data(), s.size), s.final);
      } catch (...) {
        s.error = std::current_exception();
      }
      lock.lock();
      s.state = State::done;
      deliverCv_.notify_one();
    }
  }

  platform::InputFile& in_;
  BlockWork& work_;
  const PipelineShape shape_;

  std::mutex mutex_;
  std::condition_variable readerCv_;   // a slot was freed, a long line was read, or stop
  std::condition_variable workerCv_;   // a block was published, the input ended, or stop
  std::condition_variable deliverCv_;  // a block is ready to deliver
  std::vector<Slot> slots_;
  std::uint64_t filled_ = 0;  // blocks published
  // Slots of published blocks of lines, in file order, for the workers.
  std::vector<std::size_t> queue_;
  std::uint64_t queued_ = 0;
  std::uint64_t taken_ = 0;
  bool inputDone_ = false;
  bool longLineDone_ = false;
  bool stop_ = false;

  // The reader's own, lent to the calling thread during a long line.
  std::vector<char> pending_;  // bytes read but not yet in a block: [begin, end)
  std::size_t pendingBegin_ = 0;
  std::size_t pendingEnd_ = 0;
  bool eof_ = false;
  bool fileDone_ = false;

  std::thread reader_;
  std::vector<std::thread> workers_;
};

}  // namespace

bool RunBlockPipeline(platform::InputFile& in, std::vector<char>& first, BlockWork& work,
                      const PipelineShape& shape) {
  Pipeline pipeline(in, work, shape);
  if (!pipeline.Start(first)) return false;
  pipeline.Deliver();
  return true;
}

}  // namespace korvane::obj
