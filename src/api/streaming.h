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
// threads would cost more than it saves (bench/README.md). Under Wine a
// thread takes 1.5 ms to start and end instead of 0.07 ms, and the DLL was
// measured there only.
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
