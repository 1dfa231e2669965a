#include "setup/start_run.h"

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/failure.h"
#include "load/interval_stats.h"
#include "load/thrasher.h"
#include "setup/run_config.h"

namespace {

bool is_block_device(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISBLK(status.st_mode);
}

// With standard output or error closed, the target would take its number and
// the report or a failure message would be written into the target. The
// target is moved above them and the low number closed again, so writing to
// a closed one still fails (a closed standard output ends the run with its
// report), with no need for /dev/null, which a chroot or container may lack.
int above_standard_descriptors(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int high = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  if (high < 0) fail_with_error("open", errno);
  close(fd);
  return high;
}

}  // namespace

void start_run() {
  const int fd = open(config.filename, open_flags_for(config.write_fraction_of_io,
                                                      is_block_device(config.filename)));
  if (fd < 0) fail_with_error("open", errno);
  config.fd = above_standard_descriptors(fd);
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
