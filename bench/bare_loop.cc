// The limit a load tool is measured against: the same threads, block size,
// direct-I/O target and random offsets as iothrash, with nothing per
// operation but the transfer (and, when asked, the fsync). No clock, no lock,
// no statistics: each thread walks a table of offsets and kinds drawn before
// the run and bumps a counter of its own.
//
//   bare_loop filename nr_threads write_fraction_of_io fsync_fraction_of_writes io_size nr_seconds
//
// Prints one line, "operations N seconds S iops R", and exits 0; any failure
// prints a perror-form line and exits 1.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "common/now_seconds.h"

namespace {

// One table entry per operation; the table is walked round and round.
struct planned_operation {
  off_t offset;
  unsigned char kind;  // 0 read, 1 write, 2 write then fsync
};

constexpr size_t kNrPlannedOperations = 1 << 16;

// A counter per thread, each on a cache line of its own so that counting
// costs no sharing between threads.
struct alignas(64) thread_counter {
  std::atomic<uint64_t> nr_operations;
};

int fd;
uint64_t io_size;
thread_counter* counters;
planned_operation** plans;
pthread_barrier_t start_barrier;

[[noreturn]] void fail(const char* label) {
  perror(label);
  exit(1);
}

[[noreturn]] void usage(const char* program) {
  fprintf(stderr,
          "usage: %s filename nr_threads write_fraction_of_io fsync_fraction_of_writes io_size "
          "nr_seconds\n",
          program);
  exit(1);
}

void* bare_thread(void* argument) {
  const uintptr_t index = reinterpret_cast<uintptr_t>(argument);
  const planned_operation* const plan = plans[index];
  std::atomic<uint64_t>& nr_operations = counters[index].nr_operations;
  void* buffer = nullptr;
  if (posix_memalign(&buffer, static_cast<size_t>(sysconf(_SC_PAGESIZE)), io_size) != 0)
    fail("posix_memalign");
  memset(buffer, 0, io_size);
  pthread_barrier_wait(&start_barrier);
  for (size_t next = 0;; next = (next + 1) % kNrPlannedOperations) {
    const planned_operation& operation = plan[next];
    const ssize_t moved = operation.kind == 0 ? pread(fd, buffer, io_size, operation.offset)
                                              : pwrite(fd, buffer, io_size, operation.offset);
    if (moved < 0) fail("read or write");
    if (operation.kind == 2 && fsync(fd) != 0) fail("fsync");
    // Only this thread writes its counter: a plain store, no read-modify-write.
    nr_operations.store(nr_operations.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) usage(argv[0]);
  const unsigned long nr_threads = strtoul(argv[2], nullptr, 0);
  const double write_fraction_of_io = strtod(argv[3], nullptr);
  const double fsync_fraction_of_writes = strtod(argv[4], nullptr);
  io_size = strtoull(argv[5], nullptr, 0);
  const unsigned long nr_seconds = strtoul(argv[6], nullptr, 0);
  if (nr_threads == 0 || io_size == 0 || io_size % 512 != 0 || nr_seconds == 0) usage(argv[0]);

  fd = open(argv[1], (write_fraction_of_io > 0 ? O_RDWR : O_RDONLY) | O_DIRECT);
  if (fd < 0) fail("open");
  const off_t file_size = lseek(fd, 0, SEEK_END);
  if (file_size < 0) fail("lseek");
  const uint64_t nr_blocks = static_cast<uint64_t>(file_size) / io_size;
  if (nr_blocks == 0) usage(argv[0]);

  // Drawn before the run, uniformly over the whole blocks, with the same
  // write and fsync shares as iothrash; each thread its own stream.
  const double fsync_threshold = write_fraction_of_io * fsync_fraction_of_writes;
  counters = new thread_counter[nr_threads]();
  plans = new planned_operation*[nr_threads];
  for (unsigned long t = 0; t < nr_threads; t++) {
    unsigned short state[3] = {0x330e, static_cast<unsigned short>(t),
                               static_cast<unsigned short>(t >> 16)};
    plans[t] = new planned_operation[kNrPlannedOperations];
    for (size_t i = 0; i < kNrPlannedOperations; i++) {
      const double r1 = erand48(state);
      const double r2 = erand48(state);
      uint64_t block = static_cast<uint64_t>(r1 * static_cast<double>(nr_blocks));
      if (block >= nr_blocks) block = nr_blocks - 1;
      plans[t][i].offset = static_cast<off_t>(block * io_size);
      plans[t][i].kind = fsync_threshold > r2 ? 2 : write_fraction_of_io > r2 ? 1 : 0;
    }
  }

  pthread_barrier_init(&start_barrier, nullptr, static_cast<unsigned>(nr_threads + 1));
  for (unsigned long t = 0; t < nr_threads; t++) {
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, bare_thread, reinterpret_cast<void*>(t));
    if (error != 0) {
      errno = error;
      fail("pthread_create");
    }
  }
  pthread_barrier_wait(&start_barrier);
  const double start_seconds = now_seconds();
  sleep(static_cast<unsigned>(nr_seconds));
  uint64_t nr_operations = 0;
  for (unsigned long t = 0; t < nr_threads; t++)
    nr_operations += counters[t].nr_operations.load(std::memory_order_relaxed);
  const double elapsed_seconds = now_seconds() - start_seconds;
  printf("operations %llu seconds %.6f iops %.1f\n", static_cast<unsigned long long>(nr_operations),
         elapsed_seconds, static_cast<double>(nr_operations) / elapsed_seconds);
  fflush(stdout);
  // The threads are mid-transfer; ending the process ends them.
  _exit(0);
}
