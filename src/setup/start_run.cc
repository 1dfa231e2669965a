#include "setup/start_run.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include "common/failure.h"
#include "load/interval_stats.h"
#include "load/thrasher.h"
#include "setup/run_config.h"

namespace {

// With standard output or error closed, the target would take its number and
// the report or a failure message would be written into the target. Each
// closed one is held by /dev/null opened read-only, so that writing to it
// fails instead: a closed standard output ends the run with its report.
void hold_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
  }
}

}  // namespace

void start_run() {
  hold_standard_descriptors();
  config.fd = open(config.filename, open_flags_for(config.write_fraction_of_io));
  if (config.fd < 0) fail_with_error("open", errno);
  // Devices report no size in stat(); the seek to the end works for both.
  config.file_size = lseek(config.fd, 0, SEEK_END);
  if (config.file_size == -1) fail_with_error("lseek", errno);
  if (static_cast<uint64_t>(config.file_size) < config.io_size) {
    fail_with_message("file is smaller than io_size\n");
  }

  reset_stats(&stats[0]);
  reset_stats(&stats[1]);
  threads_to_start = config.nr_threads;

  for (uint64_t created = 0; created < config.nr_threads; ++created) {
    pthread_t unused_id;
    int error = pthread_create(&unused_id, nullptr, thrasher, nullptr);
    if (error != 0) fail_with_error("pthread_create", error);
  }
}
