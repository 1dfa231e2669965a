#include "load/thrasher.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/failure.h"
#include "common/now_seconds.h"
#include "load/interval_stats.h"
#include "load/write_data.h"
#include "setup/run_config.h"

uint64_t threads_to_start;

namespace {

pthread_mutex_t start_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t start_cond = PTHREAD_COND_INITIALIZER;

// A page-aligned working buffer of io_size bytes, never freed.
uint64_t* allocate_buffer(uint64_t io_size) {
  const uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  void* allocation = malloc(page_size + io_size - 1);
  if (allocation == nullptr) fail_with_error("malloc", errno);
  unsigned char* const start = static_cast<unsigned char*>(allocation);
  const uintptr_t misalignment = reinterpret_cast<uintptr_t>(start) % page_size;
  return reinterpret_cast<uint64_t*>(misalignment == 0 ? start
                                                       : start + (page_size - misalignment));
}

}  // namespace

uint64_t count_whole_blocks(uint64_t file_size, uint64_t io_size) {
  return file_size / io_size;
}

void* thrasher(void*) {
  const int fd = config.fd;
  const uint64_t io_size = config.io_size;
  const double write_fraction_of_io = config.write_fraction_of_io;
  // Reads land in a buffer of their own: what they bring back (zeros, copies
  // of other blocks) never reaches a write. A run that never writes needs no
  // write buffer.
  uint64_t* const read_buffer = allocate_buffer(io_size);
  const bool writes_at_all = write_fraction_of_io > 0;
  uint64_t* const write_buffer = writes_at_all ? allocate_buffer(io_size) : nullptr;
  const size_t nr_words = io_size / sizeof(uint64_t);
  write_masks masks = {0, 0, 0};
  if (writes_at_all) {
    uint64_t seed = write_data_seed(write_buffer);
    fill_random_words(write_buffer, nr_words, &seed);
    masks.base = next_random_word(&seed);
  }
  const uint64_t nr_blocks = count_whole_blocks(static_cast<uint64_t>(config.file_size), io_size);
  const double nr_blocks_as_double = static_cast<double>(nr_blocks);
  const double fsync_threshold = write_fraction_of_io * config.fsync_fraction_of_writes;

  // Each thrasher draws its first pair on arrival, before the count can reach
  // zero: every such draw is then over before any thrasher leaves the barrier
  // and starts drawing under stats_lock, so no two draws ever overlap.
  pthread_mutex_lock(&start_lock);
  double r1 = drand48();
  double r2 = drand48();
  threads_to_start -= 1;
  if (threads_to_start == 0) {
    pthread_cond_broadcast(&start_cond);
  } else {
    while (threads_to_start != 0) pthread_cond_wait(&start_cond, &start_lock);
  }
  pthread_mutex_unlock(&start_lock);

  for (;;) {
    const off_t offset =
        static_cast<off_t>(choose_offset(r1, nr_blocks, nr_blocks_as_double, io_size));
    const bool write = is_write(r2, write_fraction_of_io);
    if (write) prepare_next_write(write_buffer, nr_words, &masks);
    const double t0 = now_seconds();
    const ssize_t moved =
        write ? pwrite(fd, write_buffer, io_size, offset) : pread(fd, read_buffer, io_size, offset);
    if (moved < 0) fail_with_error("thrasher read or write", errno);
    if (wants_fsync(r2, fsync_threshold) && fsync(fd) != 0)
      fail_with_error("thrasher fsync", errno);
    const double latency_seconds = now_seconds() - t0;

    pthread_mutex_lock(&stats_lock);
    record_sample(&stats[write], latency_seconds);
    r1 = drand48();
    r2 = drand48();
    pthread_mutex_unlock(&stats_lock);
  }
}
