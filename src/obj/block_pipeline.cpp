#include "obj/block_pipeline.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>

#include "platform/sync.h"
#include "platform/workers.h"

namespace korvane::obj {
namespace {

enum class Kind {
  lines,     // whole lines, converted by the thread that read them
  longLine,  // a line longer than a block starts here: read it piece by piece
  failed,    // reading failed here
  end,       // nothing more to read
};

struct Block {
  Kind kind = Kind::end;
  std::uint64_t seq = 0;  // place in file order
  std::size_t size = 0;
  bool final = false;
  std::exception_ptr error;
};

// The last line feed in [data, data + n), or nullptr.
const char* LastLineFeed(const char* data, std::size_t n) {
  for (std::size_t i = n; i > 0; --i) {
    if (data[i - 1] == '\n') return data + i - 1;
  }
  return nullptr;
}

// Every thread, the calling one included, takes turns at reading the next
// block (under readMutex_), converts it on its own, and hands it over when
// its turn in file order comes (nextTurn_). As many threads as cores and no
// more: a separate reader and writer would have to be scheduled in between.
class Pipeline {
 public:
  Pipeline(platform::InputFile& in, BlockWork& work, const PipelineShape& shape)
      : in_(in), work_(work), shape_(shape), inputs_(shape.workers) {}

  ~Pipeline() { Join(); }

  bool Run(std::vector<char>& pending, std::size_t begin, std::size_t end,
           std::uint64_t lines_before) {
    pending_.swap(pending);
    pendingBegin_ = begin;
    pendingEnd_ = end;
    lines_ = lines_before;
    // Fewer threads when the system gives fewer: the blocks go to whoever reads next.
    workers_.Start(static_cast<unsigned>(shape_.workers - 1), [this](unsigned i) { Loop(i); });
    if (workers_.size() == 0) {
      pending_.swap(pending);  // no thread ever saw it
      return false;
    }
    Loop(0);
    Join();
    if (error_) std::rethrow_exception(error_);
    return true;
  }

 private:
  void Join() { workers_.Join(); }

  // One thread's part; nothing escapes it.
  void Loop(std::size_t slot) {
    try {
      std::vector<char>& input = inputs_[slot];
      for (;;) {
        Block b;
        {
          std::lock_guard<platform::Mutex> read_lock(readMutex_);
          if (stop_) return;
          b = ReadBlock(input);
          if (b.kind == Kind::end) return;
          if (b.kind == Kind::longLine) {
            // Straight from the file, in order: nobody else reads meanwhile.
            if (!WaitTurn(b.seq)) return;
            if (!Deliver([&] { ReadLongLine(); })) return;
            continue;
          }
        }
        if (b.kind == Kind::lines) {
          try {
            work_.Process(slot, std::string_view(input.data(), b.size), b.final);
          } catch (...) {
            b.error = std::current_exception();
          }
        }
        if (!WaitTurn(b.seq)) return;
        if (!Deliver([&] {
              if (b.error) std::rethrow_exception(b.error);
              lines_ +=
                  work_.Deliver(slot, std::string_view(input.data(), b.size), b.final, lines_);
            })) {
          return;
        }
      }
    } catch (...) {
      Fail(std::current_exception());
    }
  }

  // Waits until the blocks before `seq` were delivered; false when stopped.
  bool WaitTurn(std::uint64_t seq) {
    std::lock_guard<platform::Mutex> lock(turnMutex_);
    turnCv_.Wait(turnMutex_, [&] { return stop_ || nextTurn_ == seq; });
    return !stop_;
  }

  // Runs `f` in this thread's turn and passes the turn on; false (and
  // everything stops) when it throws: being in turn, its error is the first
  // in file order.
  template <class F>
  bool Deliver(F&& f) {
    try {
      f();
    } catch (...) {
      Fail(std::current_exception());
      return false;
    }
    std::lock_guard<platform::Mutex> lock(turnMutex_);
    ++nextTurn_;
    turnCv_.NotifyAll();
    return true;
  }

  void Fail(std::exception_ptr e) {
    std::lock_guard<platform::Mutex> lock(turnMutex_);
    if (!error_) error_ = std::move(e);
    stop_ = true;
    turnCv_.NotifyAll();
  }

  void ReadLongLine() {
    LineReader reader(in_, std::move(pending_), pendingBegin_, pendingEnd_, shape_.pieceBlock,
                      shape_.maxPiece);
    work_.LongLine(reader, lines_);
    ++lines_;
    eof_ = reader.eof();
    if (reader.finished()) ended_ = true;
    reader.TakeUnread(pending_, pendingBegin_, pendingEnd_);
  }

  // The next block, into `input` (under readMutex_).
  Block ReadBlock(std::vector<char>& input) {
    Block b;
    if (ended_) return b;
    b.seq = nextSeq_++;
    try {
      if (readError_) {
        ended_ = true;
        b.kind = Kind::failed;
        b.error = readError_;
        return b;
      }
      FillBlock(input, b);
    } catch (...) {
      ended_ = true;
      b.kind = Kind::failed;
      b.error = std::current_exception();
    }
    return b;
  }

  void FillBlock(std::vector<char>& input, Block& b) {
    const std::size_t block = shape_.block;
    if (input.size() < block) input.resize(block);
    char* data = input.data();
    const std::size_t carried = pendingEnd_ - pendingBegin_;
    const std::size_t take = std::min(carried, block);
    if (take > 0) std::memcpy(data, pending_.data() + pendingBegin_, take);
    std::size_t n = take;
    while (n < block && !eof_) {
      std::size_t got = 0;
      try {
        got = in_.Read(data + n, block - n);
      } catch (...) {
        // The whole lines read before the failure go first, as they would
        // line by line; the error is the next block.
        readError_ = std::current_exception();
        break;
      }
      if (got == 0) eof_ = true;
      n += got;
    }
    const bool all_pending = take == carried;
    const char* lf = LastLineFeed(data, n);
    if (readError_) {
      if (lf == nullptr) std::rethrow_exception(readError_);
      b.kind = Kind::lines;
      b.size = static_cast<std::size_t>(lf - data) + 1;
      return;
    }
    if (eof_ && all_pending && (lf != nullptr || n < block)) {
      // Everything left: whole lines, then the last line (maybe empty). A
      // last line filling the block goes in pieces, as any longer line.
      ended_ = true;
      b.kind = Kind::lines;
      b.size = n;
      b.final = true;
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
      b.kind = Kind::lines;
      b.size = cut;
      return;
    }
    // No line feed in a whole block: the line goes in pieces, from all the
    // bytes read of it.
    if (all_pending) {
      input.swap(pending_);
      pendingBegin_ = 0;
      pendingEnd_ = n;
    }
    b.kind = Kind::longLine;
  }

  platform::InputFile& in_;
  BlockWork& work_;
  const PipelineShape shape_;
  std::vector<std::vector<char>> inputs_;  // one block buffer per thread

  // Reading, under readMutex_.
  platform::Mutex readMutex_;
  std::vector<char> pending_;  // bytes read but not yet in a block: [begin, end)
  std::size_t pendingBegin_ = 0;
  std::size_t pendingEnd_ = 0;
  bool eof_ = false;
  bool ended_ = false;  // the last block was handed out
  std::exception_ptr readError_;
  std::uint64_t nextSeq_ = 0;

  // Turns, under turnMutex_.
  platform::Mutex turnMutex_;
  platform::Condition turnCv_;
  std::uint64_t nextTurn_ = 0;
  std::atomic<bool> stop_{false};
  std::exception_ptr error_;

  std::uint64_t lines_ = 0;  // lines delivered; only the thread in turn uses it

  platform::WorkerThreads workers_;
};

}  // namespace

bool RunBlockPipeline(platform::InputFile& in, std::vector<char>& pending, std::size_t begin,
                      std::size_t end, std::uint64_t lines_before, BlockWork& work,
                      const PipelineShape& shape) {
  Pipeline pipeline(in, work, shape);
  return pipeline.Run(pending, begin, end, lines_before);
}

}  // namespace korvane::obj

namespace korvane::obj {

void RunRecordBlocks(const RecordBlocks& work, unsigned threads) {
  threads = std::max(threads, 1u);
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  platform::Mutex read_mutex;  // held while a block is read: reads go in file order
  platform::Mutex write_mutex;
  platform::Condition turn;
  std::size_t next = 0;                  // the next block to read (under read_mutex)
  std::size_t written = 0;               // blocks written (under write_mutex)
  std::atomic<std::size_t> stop{kNone};  // the first block that failed, or the end
  std::exception_ptr error;              // the failed block's error (under write_mutex)
  const auto fail = [&](std::size_t k, std::exception_ptr e) {
    const std::lock_guard<platform::Mutex> lock(write_mutex);
    if (k < stop) {
      stop = k;
      error = std::move(e);
    }
    turn.NotifyAll();
  };
  const auto loop = [&](unsigned slot) {
    for (;;) {
      std::size_t k = 0;
      try {
        {
          const std::lock_guard<platform::Mutex> lock(read_mutex);
          k = next;
          if (k >= stop) return;
          if (!work.read(k, slot)) {
            fail(k, nullptr);  // the end: the blocks before it are still written
            return;
          }
          ++next;
        }
        work.move(k, slot);
      } catch (...) {
        fail(k, std::current_exception());
        return;
      }
      const std::lock_guard<platform::Mutex> lock(write_mutex);
      turn.Wait(write_mutex, [&] { return written == k || k > stop; });
      if (k > stop) return;  // an earlier block failed: nothing after it is written
      try {
        work.write(k, slot);
      } catch (...) {
        if (k < stop) {
          stop = k;
          error = std::current_exception();
        }
        turn.NotifyAll();
        return;
      }
      ++written;
      turn.NotifyAll();
    }
  };
  {
    platform::WorkerThreads workers;
    workers.Start(threads - 1, loop);
    loop(0);
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace korvane::obj
