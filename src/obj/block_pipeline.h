// A file's lines on several threads: each thread in turn reads a large block
// cut after a line feed, converts it on its own, and hands it over when its
// turn in file order comes. Memory stays flat: one block per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "obj/obj_stream.h"
#include "platform/file_io.h"

namespace korvane::obj {

// What is done with the blocks. Block storage is the work's own, indexed by
// slot, one per thread (0 to workers - 1).
class BlockWork {
 public:
  virtual ~BlockWork() = default;
  // On a worker thread: `text` is whole lines, each ended by a line feed,
  // then, when `final`, the file's last line (maybe empty). May stop early
  // (at a line it cannot read, say) for Deliver to go on from there.
  virtual void Process(std::size_t slot, std::string_view text, bool final) = 0;
  // On the same thread as Process, once the blocks before it were delivered
  // (one block at a time, in file order); `lines_before` lines precede the
  // block. Returns the number of line feeds in `text`.
  virtual std::uint64_t Deliver(std::size_t slot, std::string_view text, bool final,
                                std::uint64_t lines_before) = 0;
  // In file order like Deliver: one line longer than a block, numbered
  // lines_before + 1, to be read from `reader` up to its last piece.
  virtual void LongLine(LineReader& reader, std::uint64_t lines_before) = 0;
};

struct PipelineShape {
  std::size_t workers = 2;  // threads, the calling one included
  std::size_t block = std::size_t{1} << 20;
  // How the file is read piece by piece (LineReader): the reader's first
  // buffer size and the longest piece.
  std::size_t pieceBlock = std::size_t{1} << 18;
  std::size_t maxPiece = kMaxLinePiece;
};

// Runs `work` over the rest of `in`, whose next bytes, `pending` [begin,
// end) (the start of a line), were already read, after `lines_before` lines.
// Returns when every block was delivered and every thread has ended; the
// first error in file order is rethrown then. False when no thread could be
// started: nothing was done and `pending` is left as it was.
bool RunBlockPipeline(platform::InputFile& in, std::vector<char>& pending, std::size_t begin,
                      std::size_t end, std::uint64_t lines_before, BlockWork& work,
                      const PipelineShape& shape);

}  // namespace korvane::obj

namespace korvane::obj {

// Blocks of a file in order on `threads` threads (at least 1): each thread in
// turn reads the next block into its slot's storage (read, called in file
// order; false when there is none), converts it on its own (move), and writes
// it when its turn in file order comes (write). Reading and writing thus
// overlap the converting, and memory stays one block per slot (0 to threads
// - 1). The first error in file order is rethrown once every thread has
// stopped; no block after it is read or written.
struct RecordBlocks {
  std::function<bool(std::size_t block, std::size_t slot)> read;
  std::function<void(std::size_t block, std::size_t slot)> move;
  std::function<void(std::size_t block, std::size_t slot)> write;
};
void RunRecordBlocks(const RecordBlocks& work, unsigned threads);

// A block's bytes, left uninitialised: they are read over at once.
class RecordBuffer {
 public:
  void resize(std::size_t n) {
    if (n > capacity_) {
      bytes_.reset(new unsigned char[n]);
      capacity_ = n;
    }
    size_ = n;
  }
  unsigned char* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t capacity_ = 0, size_ = 0;
};

}  // namespace korvane::obj
