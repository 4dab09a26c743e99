// How the commands stream files. Starting threads and giving memory back are
// choices for the whole process, so they are made here, by the commands, and
// not in the loaders below.
#pragma once

#include <cstddef>

#include "obj/obj_stream.h"
#include "platform/platform.h"

namespace korvane::api {

// The first this many bytes of a file are streamed on the calling thread, and
// only the rest of a longer file on several threads: for less, starting
// threads would cost more than it saves (bench/README.md). Starting a thread
// costs far more under Wine, where the DLL was measured, hence its larger
// threshold.
inline constexpr std::size_t kParallelFrom =
    platform::kIsWindows ? std::size_t{8} << 20 : std::size_t{1} << 20;

// The options every command streams with: `threads` (0: one per core) past
// kParallelFrom, and the memory the reading threads freed given back after a
// load (a host keeps running after the command).
inline obj::StreamOptions StreamingOptions(unsigned threads) {
  obj::StreamOptions o;
  o.threads = threads;
  o.parallelFrom = kParallelFrom;
  o.returnFreeMemory = true;
  return o;
}

}  // namespace korvane::api
