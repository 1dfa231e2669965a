// How long iothrash takes from the start of start-up to its first completed
// operation: opening, creating every thread, each thread's buffers and the
// fill of its write buffer, and the start barrier. It runs the program's own
// start-up on the program's own arguments, then watches the statistics.
//
//   start_up_time filename nr_threads write_fraction_of_io fsync_fraction_of_writes io_size
//
// Prints "threads_created_seconds A first_operation_seconds B" and exits 0;
// failures are iothrash's own reports.
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "common/now_seconds.h"
#include "load/interval_stats.h"
#include "setup/parse_command_line.h"
#include "setup/run_config.h"
#include "setup/start_run.h"

namespace {

uint64_t nr_operations_so_far() {
  pthread_mutex_lock(&stats_lock);
  const uint64_t count = stats[0].count + stats[1].count;
  pthread_mutex_unlock(&stats_lock);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr,
            "usage: %s filename nr_threads write_fraction_of_io fsync_fraction_of_writes "
            "io_size\n",
            argv[0]);
    return 1;
  }
  // iothrash's own command line, with an interval it never gets to use.
  char interval[] = "1";
  char* iothrash_argv[] = {argv[0], argv[1], argv[2], argv[3], argv[4], argv[5], interval, nullptr};
  parse_command_line(7, iothrash_argv);
  const double start_seconds = now_seconds();
  start_run();
  const double created_seconds = now_seconds();
  // Polled every 100 µs: the resolution of the figure, well below start-up.
  const timespec pause = {0, 100000};
  while (nr_operations_so_far() == 0) nanosleep(&pause, nullptr);
  const double first_operation_seconds = now_seconds();
  printf("threads_created_seconds %.6f first_operation_seconds %.6f\n",
         created_seconds - start_seconds, first_operation_seconds - start_seconds);
  fflush(stdout);
  // The threads are mid-transfer; ending the process ends them.
  _exit(0);
}
