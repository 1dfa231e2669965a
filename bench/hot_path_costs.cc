// What each piece of a thrasher's pass costs on its own, one thread, in
// nanoseconds: the two clock reads, the lock and unlock, the two draws and
// the record. The transfer itself is what the bare loop measures.
//
//   hot_path_costs [nr_iterations]
//
// Prints one "name nanoseconds" line per piece.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/now_seconds.h"
#include "load/interval_stats.h"

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
  return 0;
}
