#include "common/now_seconds.h"

#include <time.h>

double now_seconds() {
  timespec now;
  // CLOCK_MONOTONIC is served from the vDSO on Linux and from the shared
  // timekeeping page on FreeBSD: no system call on the hot path.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
