#include "load/thrasher.h"

#include <gtest/gtest.h>
#include <math.h>

namespace {

struct BlockCase {
  const char* name;
  uint64_t file_size;
  uint64_t io_size;
  double r1;
  uint64_t expected_offset;
};

constexpr double kJustBelowOne = 0.99999999999999989;      // nextafter(1, 0)
constexpr double kLargestDraw = 1.0 - 1.0 / (1ull << 48);  // drand48's largest value

const BlockCase kBlockCases[] = {
    {"one block, r1 0", 4096, 4096, 0.0, 0},
    {"one block, r1 just below 1", 4096, 4096, kJustBelowOne, 0},
    {"one block and a half", 6144, 4096, kJustBelowOne, 0},
    {"ten blocks, first", 40960, 4096, 0.0, 0},
    {"ten blocks, r1 0.5", 40960, 4096, 0.5, 5 * 4096},
    {"ten blocks, last reached", 40960, 4096, 0.9, 9 * 4096},
    {"ten blocks, r1 just below 1", 40960, 4096, kJustBelowOne, 9 * 4096},
    {"ten and a half blocks, r1 just below 1", 43008, 4096, kJustBelowOne, 9 * 4096},
    {"two blocks, upper half", 1024, 512, 0.5, 512},
    {"1 TiB of 512-byte blocks, largest draw", 1ull << 40, 512, kLargestDraw, (1ull << 40) - 512},
};

TEST(ChooseOffset, TableOfCases) {
  for (const BlockCase& c : kBlockCases) {
    const uint64_t nr_blocks = count_whole_blocks(c.file_size, c.io_size);
    const uint64_t offset =
        choose_offset(c.r1, nr_blocks, static_cast<double>(nr_blocks), c.io_size);
    EXPECT_EQ(offset, c.expected_offset) << c.name;
    EXPECT_EQ(offset % c.io_size, 0u) << c.name;
    EXPECT_LE(offset + c.io_size, c.file_size) << c.name;
  }
}

TEST(ChooseOffset, StaysInsideWhenTheBlockCountRoundsUpAsADouble) {
  // 2^53 + 1 blocks round up to 2^53 + 2 as a double.
  const uint64_t nr_blocks = (1ull << 53) + 1;
  const uint64_t offset = choose_offset(kJustBelowOne, nr_blocks, 9007199254740994.0, 512);
  EXPECT_LT(offset / 512, nr_blocks);
}

TEST(OperationKind, StrictComparisonsOnR2) {
  EXPECT_FALSE(is_write(0.0, 0.0)) << "a write fraction of 0 never writes";
  EXPECT_TRUE(is_write(kLargestDraw, 1.0)) << "a write fraction of 1 always writes";
  EXPECT_FALSE(is_write(0.3, 0.3)) << "equal is a read";
  EXPECT_TRUE(is_write(0.2999, 0.3));
  const double fsync_threshold = 0.5 * 0.2;  // every fsync follows a write
  EXPECT_TRUE(wants_fsync(0.09, fsync_threshold) && is_write(0.09, 0.5));
  EXPECT_FALSE(wants_fsync(0.1, fsync_threshold));
  EXPECT_FALSE(wants_fsync(0.0, 0.0)) << "an fsync fraction of 0 never fsyncs";
}

}  // namespace
