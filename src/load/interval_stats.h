// The latencies of the reads and of the writes completed since the last
// report line.
//
// Thread safety: after the thrashers exist, `stats` is touched only with
// `stats_lock` held. Thrashers call record_sample() under the lock; the monitor
// calls take_and_reset(), which takes the lock itself. reset_stats() and
// summarise() work on records the caller owns.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

// The line size of the machines this runs on (amd64, most arm64).
inline constexpr size_t kCacheLineBytes = 64;

// Aligned to a cache line: see stats below.
struct alignas(kCacheLineBytes) interval_stats {
  double min;             // seconds; +inf when empty
  double sum;             // seconds
  double sum_of_squares;  // square seconds
  double max;             // seconds; 0 when empty
  uint64_t count;
};

// The figures of one kind of operation over one interval.
struct interval_summary {
  double rate;  // operations per second
  double min_ms;
  double avg_ms;
  double max_ms;
  double sdev_ms;
};

// Both records as taken at the end of an interval.
struct interval_copies {
  interval_stats reads;
  interval_stats writes;
};

// Index 0 holds reads, index 1 writes: the index is "the operation was a write".
// The lock and each record start a cache line of their own.
extern interval_stats stats[2];
extern pthread_mutex_t stats_lock;

void reset_stats(interval_stats* record);

// The caller holds stats_lock (or owns `record`).
inline void record_sample(interval_stats* record, double latency_seconds) {
  record->count += 1;
  record->sum += latency_seconds;
  record->sum_of_squares += latency_seconds * latency_seconds;
  if (record->min > latency_seconds) record->min = latency_seconds;
  if (latency_seconds > record->max) record->max = latency_seconds;
}

// Copies and empties both records in one critical section, so every latency
// is counted in exactly one interval.
interval_copies take_and_reset();

interval_summary summarise(const interval_stats& copy, double elapsed_seconds);
