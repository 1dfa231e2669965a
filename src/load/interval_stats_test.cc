#include "load/interval_stats.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>

#include <initializer_list>

#include "load/thrasher.h"
#include "setup/run_config.h"

namespace {

interval_stats record_of(std::initializer_list<double> latencies_seconds) {
  interval_stats record;
  reset_stats(&record);
  for (double latency : latencies_seconds) record_sample(&record, latency);
  return record;
}

TEST(IntervalStats, EmptyRecordSummarisesToZeroRateInfiniteMinAndNotANumber) {
  const interval_summary s = summarise(record_of({}), 2.0);
  EXPECT_EQ(s.rate, 0);
  EXPECT_TRUE(isinf(s.min_ms) && s.min_ms > 0);
  EXPECT_TRUE(isnan(s.avg_ms));
  EXPECT_EQ(s.max_ms, 0);
  EXPECT_TRUE(isnan(s.sdev_ms));
}

TEST(IntervalStats, SingleLatencySetsMinAndMaxAndHasNoDeviation) {
  const interval_stats record = record_of({0.004});
  EXPECT_EQ(record.count, 1u);
  EXPECT_EQ(record.min, 0.004);
  EXPECT_EQ(record.max, 0.004);
  const interval_summary s = summarise(record, 0.5);
  EXPECT_EQ(s.rate, 2);
  EXPECT_DOUBLE_EQ(s.min_ms, 4);
  EXPECT_DOUBLE_EQ(s.avg_ms, 4);
  EXPECT_DOUBLE_EQ(s.max_ms, 4);
  EXPECT_TRUE(isnan(s.sdev_ms));
}

TEST(IntervalStats, TypicalRecordGivesSampleStandardDeviation) {
  // 1, 2, 3, 4 ms: mean 2.5, sample deviation sqrt(5/3).
  const interval_stats record = record_of({0.001, 0.002, 0.003, 0.004});
  const interval_summary s = summarise(record, 2.0);
  EXPECT_EQ(s.rate, 2);
  EXPECT_DOUBLE_EQ(s.min_ms, 1);
  EXPECT_DOUBLE_EQ(s.avg_ms, 2.5);
  EXPECT_DOUBLE_EQ(s.max_ms, 4);
  EXPECT_NEAR(s.sdev_ms, sqrt(5.0 / 3.0), 1e-9);
}

TEST(IntervalStats, RoundingBelowZeroGivesZeroDeviationNotNotANumber) {
  // Three equal latencies whose sums round so that sum_of_squares falls just
  // short of sum * sum / n.
  interval_stats record = record_of({0.1, 0.1, 0.1});
  const double spread = record.sum_of_squares - (record.sum * record.sum) / 3;
  ASSERT_LT(spread, 0) << "the fixture no longer rounds below zero";
  EXPECT_EQ(summarise(record, 1.0).sdev_ms, 0);
}

TEST(IntervalStats, EqualLatenciesLeaveMinAndMaxAndNegativeOnesAreKept) {
  interval_stats record = record_of({0.002, 0.002});
  EXPECT_EQ(record.min, 0.002);
  EXPECT_EQ(record.max, 0.002);
  interval_stats negative = record_of({-0.001, -0.002});
  EXPECT_EQ(negative.min, -0.002);
  EXPECT_EQ(negative.max, 0);
  EXPECT_DOUBLE_EQ(negative.sum, -0.003);
}

TEST(IntervalStats, TakeAndResetReturnsBothRecordsAndEmptiesThem) {
  reset_stats(&stats[0]);
  reset_stats(&stats[1]);
  record_sample(&stats[0], 0.001);
  record_sample(&stats[1], 0.002);
  record_sample(&stats[1], 0.003);
  const interval_copies first = take_and_reset();
  EXPECT_EQ(first.reads.count, 1u);
  EXPECT_EQ(first.writes.count, 2u);
  EXPECT_EQ(first.writes.max, 0.003);
  const interval_copies second = take_and_reset();
  EXPECT_EQ(second.reads.count, 0u);
  EXPECT_EQ(second.writes.count, 0u);
  EXPECT_TRUE(isinf(second.writes.min));
}

uintptr_t first_line_of(const void* object) {
  return reinterpret_cast<uintptr_t>(object) / kCacheLineBytes;
}
uintptr_t last_line_of(const void* object, size_t size) {
  return (reinterpret_cast<uintptr_t>(object) + size - 1) / kCacheLineBytes;
}

// Every operation writes these lines: sharing one with data that others read
// would cost a line transfer each time.
TEST(IntervalStats, LockAndRecordsHaveCacheLinesOfTheirOwn) {
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&stats_lock) % kCacheLineBytes, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&stats[0]) % kCacheLineBytes, 0u);
  EXPECT_EQ(sizeof stats[0], kCacheLineBytes) << "a record fills its line exactly";
  EXPECT_NE(first_line_of(&stats_lock), last_line_of(&stats[1], sizeof stats[1]));
  EXPECT_NE(last_line_of(&stats_lock, sizeof stats_lock), first_line_of(&stats[0]));
  const struct {
    const char* name;
    const void* address;
    size_t size;
  } neighbours[] = {
      {"config", &config, sizeof config},
      {"threads_to_start", &threads_to_start, sizeof threads_to_start},
  };
  const uintptr_t hot_lines[][2] = {
      {first_line_of(&stats_lock), last_line_of(&stats_lock, sizeof stats_lock)},
      {first_line_of(&stats[0]), last_line_of(&stats[1], sizeof stats[1])},
  };
  for (const auto& neighbour : neighbours) {
    for (const auto& lines : hot_lines) {
      const bool overlaps = first_line_of(neighbour.address) <= lines[1] &&
                            last_line_of(neighbour.address, neighbour.size) >= lines[0];
      EXPECT_FALSE(overlaps) << neighbour.name << " shares a line with the statistics";
    }
  }
}

}  // namespace
