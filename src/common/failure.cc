#include "common/failure.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// exit() is not safe to call from two threads at once; whoever takes this
// first owns the end of the process and never lets it go.
pthread_mutex_t exit_lock = PTHREAD_MUTEX_INITIALIZER;

void write_all_to_stderr(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written <= 0) return;  // Nowhere left to say it.
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// exit() flushes standard output without taking its lock: were the monitor
// in the middle of flushing a line, the same bytes could go out twice.
// Holding the lock first waits for that flush to end.
[[noreturn]] void exit_holding_stdout(int status) {
  flockfile(stdout);
  exit(status);
}

}  // namespace

int format_failure_line(char* line, int line_capacity, const char* label, const char* description) {
  int length = snprintf(line, static_cast<size_t>(line_capacity), "%s: %s\n", label, description);
  if (length >= line_capacity) length = line_capacity - 1;
  return length;
}

void end_process(int status) {
  pthread_mutex_lock(&exit_lock);
  exit_holding_stdout(status);
}

void fail_with_error(const char* label, int errnum) {
  pthread_mutex_lock(&exit_lock);
  // Only the owner of exit_lock gets here, so strerror's static buffer is safe.
  char line[512];
  int length = format_failure_line(line, sizeof line, label, strerror(errnum));
  write_all_to_stderr(line, static_cast<size_t>(length));
  exit_holding_stdout(1);
}

void fail_with_message(const char* message) {
  pthread_mutex_lock(&exit_lock);
  write_all_to_stderr(message, strlen(message));
  exit_holding_stdout(1);
}
