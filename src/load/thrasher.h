// The worker threads: each keeps one direct-I/O operation in flight against
// the shared descriptor, for ever, and records its latency.
//
// Thread safety: thrasher() runs in many threads at once. They share only
// `config` (read-only), the start barrier (under start_lock), `stats` (under
// stats_lock) and the process's drand48 generator, whose every draw is made
// under one of those two locks and never under both kinds at once (see
// thrasher.cc). The helpers below are pure.
#pragma once

#include <stdint.h>

// How many thrashers have still to reach the start barrier. Set by start-up
// before the first thrasher exists; afterwards touched only under start_lock.
extern uint64_t threads_to_start;

// The thread body. Takes no argument and never returns.
void* thrasher(void* unused);

// The number of whole io_size blocks in the target (at least 1 once start-up
// has checked the size).
uint64_t count_whole_blocks(uint64_t file_size, uint64_t io_size);

// The byte offset of the block that r1, in [0, 1), picks among nr_blocks.
inline uint64_t choose_offset(double r1, uint64_t nr_blocks, double nr_blocks_as_double,
                              uint64_t io_size) {
  uint64_t block = static_cast<uint64_t>(static_cast<int64_t>(r1 * nr_blocks_as_double));
  // Above 2^53 blocks the double count may round up past the real one.
  if (block >= nr_blocks) block = nr_blocks - 1;
  return block * io_size;
}

// The kind and the fsync, both from r2, both strict.
inline bool is_write(double r2, double write_fraction_of_io) {
  return write_fraction_of_io > r2;
}
inline bool wants_fsync(double r2, double fsync_threshold) {
  return fsync_threshold > r2;
}
