#include "load/interval_stats.h"

#include <math.h>

// Every operation of every thread writes the lock's line and one record's
// line; each starts a cache line (and each record fills one) so that no other
// data shares them. A default mutex: its fast path is the shortest, and a
// critical section this brief is so rarely contended that waiting is no
// factor.
alignas(kCacheLineBytes) pthread_mutex_t stats_lock = PTHREAD_MUTEX_INITIALIZER;
interval_stats stats[2];

void reset_stats(interval_stats* record) {
  record->min = INFINITY;
  record->sum = 0;
  record->sum_of_squares = 0;
  record->max = 0;
  record->count = 0;
}

interval_copies take_and_reset() {
  pthread_mutex_lock(&stats_lock);
  interval_copies copies = {stats[0], stats[1]};
  reset_stats(&stats[0]);
  reset_stats(&stats[1]);
  pthread_mutex_unlock(&stats_lock);
  return copies;
}

interval_summary summarise(const interval_stats& copy, double elapsed_seconds) {
  const double n = static_cast<double>(copy.count);
  // Formed in unsigned arithmetic as the definition says; for an empty record
  // the spread is already not-a-number, so the wrap does not show.
  const double d = static_cast<double>(copy.count - 1);
  interval_summary summary;
  summary.rate = n / elapsed_seconds;
  summary.min_ms = copy.min * 1000;
  summary.avg_ms = (copy.sum / n) * 1000;
  summary.max_ms = copy.max * 1000;
  double spread = copy.sum_of_squares - (copy.sum * copy.sum) / n;
  // Rounding can push the spread of near-equal latencies just below zero;
  // that is a deviation of 0, not a failure to have one.
  if (copy.count >= 2 && spread < 0) spread = 0;
  summary.sdev_ms = sqrt(spread / d) * 1000;
  return summary;
}
