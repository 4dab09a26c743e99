// A file's lines on several threads: one thread reads large blocks cut after
// a line feed, workers handle the blocks side by side, and the calling thread
// finishes them in file order. Memory stays flat: only a fixed number of
// blocks is ever in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "obj/obj_stream.h"
#include "platform/file_io.h"

namespace korvane::obj {

// What is done with the blocks. Block storage is the work's own, indexed by
// slot (0 to slots - 1): a slot holds one block at a time.
class BlockWork {
 public:
  virtual ~BlockWork() = default;
  // On a worker thread: `text` is whole lines, each ended by a line feed,
  // then, when `final`, the file's last line (maybe empty). May stop early
  // (at a line it cannot read, say) for Deliver to go on from there.
  virtual void Process(std::size_t slot, std::string_view text, bool final) = 0;
  // On the calling thread, block after block in file order, after Process;
  // `lines_before` lines precede the block. Returns the number of line feeds
  // in `text`.
  virtual std::uint64_t Deliver(std::size_t slot, std::string_view text, bool final,
                                std::uint64_t lines_before) = 0;
  // On the calling thread, in file order: one line longer than a block,
  // numbered lines_before + 1, to be read from `reader` up to its last piece.
  virtual void LongLine(LineReader& reader, std::uint64_t lines_before) = 0;
};

struct PipelineShape {
  std::size_t workers = 2;
  std::size_t slots = 4;  // blocks in flight, at least workers + 1
  std::size_t block = std::size_t{4} << 20;
  // How the file is read piece by piece (LineReader): the reader's first
  // buffer size and the longest piece.
  std::size_t pieceBlock = std::size_t{1} << 18;
  std::size_t maxPiece = kMaxLinePiece;
};

// Runs `work` over the rest of `in`, whose next bytes `first` (the start of a
// line) were already read. Returns when every block was delivered; any error
// (the first in file order) is rethrown here once all threads have ended.
// False when no thread could be started: nothing was done and `first` is
// left as it was.
bool RunBlockPipeline(platform::InputFile& in, std::vector<char>& first, BlockWork& work,
                      const PipelineShape& shape);

}  // namespace korvane::obj
