#include "report/table.h"

#include <gtest/gtest.h>
#include <math.h>

#include <regex>
#include <string>

namespace {

std::string line_of(double total_rate, const interval_summary& reads,
                    const interval_summary& writes) {
  char line[4096];
  const int length = format_report_line(line, sizeof line, total_rate, reads, writes);
  return std::string(line, static_cast<size_t>(length));
}

TEST(ReportHeader, IsTheExactThreeLines) {
  EXPECT_STREQ(kReportHeader,
               "  total |  read:         latency (ms)       |  write:        latency (ms)\n"
               "   iops |   iops   min    avg    max   sdev |   iops   min    avg    max   sdev\n"
               "--------+-----------------------------------+---------------------------------"
               "-\n");
}

TEST(ReportLine, TypicalLineIs79CharactersWithBarsUnderTheHeader) {
  const std::string line =
      line_of(1234.5, {864.2, 0.1, 1.2, 35.7, 2.3}, {370.3, 0.2, 4.5, 210.9, 12.25});
  EXPECT_EQ(line,
            " 1234.5 |  864.2   0.1    1.2   35.7    2.3 |  370.3   0.2    4.5  210.9   12.2\n");
  ASSERT_EQ(line.size(), 80u);  // 79 characters and the newline
  EXPECT_EQ(line[8], '|');
  EXPECT_EQ(line[44], '|');
  // The bars sit under the header's bars and plus signs.
  const std::string header = kReportHeader;
  const size_t second = header.find('\n') + 1;
  const size_t third = header.find('\n', second) + 1;
  for (size_t column : {8u, 44u}) {
    EXPECT_EQ(header[column], '|');
    EXPECT_EQ(header[second + column], '|');
    EXPECT_EQ(header[third + column], '+');
  }
}

TEST(ReportLine, EmptyWriteHalfShowsZeroRateInfiniteMinAndNotANumber) {
  interval_stats no_writes;
  reset_stats(&no_writes);
  const std::string line = line_of(10, {10, 1, 2, 3, 0.5}, summarise(no_writes, 1.0));
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(   10\.0 \|   10\.0   1\.0    2\.0    3\.0    0\.5 \|    0\.0   inf )"
                       R"(  -?nan    0\.0   -?nan\n)")))
      << line;
}

TEST(ReportLine, TooWideValueWidensItsFieldAndShiftsTheRest) {
  const std::string line = line_of(123456.7, {123456.7, 1000.0, 1.0, 1.0, 1.0}, {0, 0, 0, 0, 0});
  EXPECT_EQ(line,
            "123456.7 |123456.7 1000.0    1.0    1.0    1.0 |    0.0   0.0    0.0    0.0    0.0\n");
  EXPECT_EQ(line[9], '|');
}

}  // namespace
