// The run's configuration: the parsed command line plus the opened target.
//
// Thread safety: the main thread fills `config` before it creates the first
// thrasher; from then on it is read-only and read without a lock.
#pragma once

#include <stdint.h>

struct run_config {
  const char* filename;
  uint64_t nr_threads;
  double write_fraction_of_io;
  double fsync_fraction_of_writes;
  uint64_t io_size;  // bytes
  uint32_t nr_seconds_between_samples;
  uint32_t nr_samples;  // 0: no limit
  int fd;
  int64_t file_size;  // bytes
};

extern run_config config;
