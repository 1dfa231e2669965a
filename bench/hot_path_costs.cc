// What each piece of a thrasher's pass costs on its own, one thread, in
// nanoseconds: the two clock reads, the lock and unlock, the two draws and
// the record, and the pass that makes a write's data new, on 4 KiB and 1 MiB
// buffers. The transfer itself is what the bare loop measures.
//
//   hot_path_costs [nr_iterations]
//
// Prints one "name nanoseconds" line per piece.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/now_seconds.h"
#include "load/interval_stats.h"
#include "load/write_data.h"

namespace {

// Keeps the compiler from dropping a result the loop never uses.
volatile double sink;

template <typename Body>
void measure(const char* name, long nr_iterations, Body body) {
  const double start_seconds = now_seconds();
  for (long i = 0; i < nr_iterations; i++) body();
  const double elapsed_seconds = now_seconds() - start_seconds;
  printf("%s %.1f\n", name, elapsed_seconds / static_cast<double>(nr_iterations) * 1e9);
}

// The pass before each write over a page-aligned buffer of `nr_bytes`, as a
// thrasher's write buffer is, filled as a thrasher fills it.
void measure_write_pass(const char* name, long nr_iterations, size_t nr_bytes) {
  void* buffer = nullptr;
  if (posix_memalign(&buffer, static_cast<size_t>(sysconf(_SC_PAGESIZE)), nr_bytes) != 0) abort();
  uint64_t* const words = static_cast<uint64_t*>(buffer);
  const size_t nr_words = nr_bytes / sizeof(uint64_t);
  uint64_t seed = write_data_seed(words);
  fill_random_words(words, nr_words, &seed);
  write_masks masks = {next_random_word(&seed), 0, 0};
  measure(name, nr_iterations, [&] { prepare_next_write(words, nr_words, &masks); });
  sink = static_cast<double>(words[nr_words / 2]);
  free(buffer);
}

}  // namespace

int main(int argc, char** argv) {
  const long nr_iterations = argc > 1 ? atol(argv[1]) : 10000000;
  interval_stats record;
  reset_stats(&record);
  measure("two_clock_reads", nr_iterations, [] { sink = now_seconds() - now_seconds(); });
  measure("lock_and_unlock", nr_iterations, [] {
    pthread_mutex_lock(&stats_lock);
    pthread_mutex_unlock(&stats_lock);
  });
  measure("two_draws", nr_iterations, [] { sink = drand48() + drand48(); });
  measure("record_sample", nr_iterations, [&record] { record_sample(&record, 1e-5); });
  sink = record.sum;
  // A 1 MiB pass takes 256 times as long: fewer rounds for the same time.
  measure_write_pass("write_pass_4KiB", nr_iterations / 10, 4096);
  measure_write_pass("write_pass_1MiB", nr_iterations / 2560, 1 << 20);
  return 0;
}
