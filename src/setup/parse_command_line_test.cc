#include "setup/parse_command_line.h"

#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

namespace {

// argv[1..6] of an accepted run, each row changing what it tests.
struct ArgumentsCase {
  const char* name;
  std::vector<const char*> arguments;  // after argv[0]
  bool accepted;
  uint64_t nr_threads = 0;
  double write_fraction_of_io = 0;
  double fsync_fraction_of_writes = 0;
  uint64_t io_size = 0;
  uint32_t nr_seconds_between_samples = 0;
  uint32_t nr_samples = 0;
};

const ArgumentsCase kArgumentsCases[] = {
    {"typical six", {"f", "4", "0.3", "0.1", "4096", "2"}, true, 4, 0.3, 0.1, 4096, 2, 0},
    {"typical seven", {"f", "4", "0.3", "0.1", "4096", "2", "5"}, true, 4, 0.3, 0.1, 4096, 2, 5},
    {"five arguments", {"f", "4", "0.3", "0.1", "4096"}, false},
    {"eight arguments", {"f", "4", "0.3", "0.1", "4096", "2", "5", "x"}, false},
    {"no arguments", {}, false},
    // Base 0: octal, hex, blanks and '+' in front, as strtoul has them.
    {"octal threads", {"f", "010", "0", "0", "512", "1"}, true, 8, 0, 0, 512, 1, 0},
    {"hex io_size", {"f", "1", "0", "0", "0x200", "1"}, true, 1, 0, 0, 512, 1, 0},
    {"upper hex io_size", {"f", "1", "0", "0", "0X400", "1"}, true, 1, 0, 0, 1024, 1, 0},
    {"blanks and plus", {"f", " +3", "0", "0", "512", "\t1"}, true, 3, 0, 0, 512, 1, 0},
    {"octal io_size of 8", {"f", "1", "0", "0", "010", "1"}, false},
    {"zero threads", {"f", "0", "0", "0", "512", "1"}, false},
    {"empty threads is 0", {"f", "", "0", "0", "512", "1"}, false},
    {"threads with trailing text", {"f", "4x", "0", "0", "512", "1"}, false},
    {"threads with trailing blank", {"f", "4 ", "0", "0", "512", "1"}, false},
    {"sign alone", {"f", "+", "0", "0", "512", "1"}, false},
    {"blank alone", {"f", " ", "0", "0", "512", "1"}, false},
    {"bare hex prefix", {"f", "0x", "0", "0", "512", "1"}, false},
    {"binary prefix", {"f", "0b10", "0", "0", "512", "1"}, false},
    {"plus and binary prefix", {"f", "1", "0", "0", "+0B1000000000", "1"}, false},
    // Minus signs and overflow are refused rather than wrapped.
    {"minus one threads", {"f", "-1", "0", "0", "512", "1"}, false},
    {"blank then minus", {"f", " -1", "0", "0", "512", "1"}, false},
    {"minus zero threads", {"f", "-0", "0", "0", "512", "1"}, false},
    {"minus io_size", {"f", "1", "0", "0", "-512", "1"}, false},
    {"largest threads",
     {"f", "18446744073709551615", "0", "0", "512", "1"},
     true,
     UINT64_MAX,
     0,
     0,
     512,
     1,
     0},
    {"threads past 64 bits", {"f", "18446744073709551616", "0", "0", "512", "1"}, false},
    {"io_size past 64 bits", {"f", "1", "0", "0", "36893488147419103232", "1"}, false},
    {"largest interval",
     {"f", "1", "0", "0", "512", "4294967295"},
     true,
     1,
     0,
     0,
     512,
     4294967295u,
     0},
    {"interval of 2^32", {"f", "1", "0", "0", "512", "4294967296"}, false},
    {"interval of 2^32 + 1", {"f", "1", "0", "0", "512", "4294967297"}, false},
    {"zero interval", {"f", "1", "0", "0", "512", "0"}, false},
    {"empty interval", {"f", "1", "0", "0", "512", ""}, false},
    {"largest samples",
     {"f", "1", "0", "0", "512", "1", "4294967295"},
     true,
     1,
     0,
     0,
     512,
     1,
     4294967295u},
    {"samples of 2^32", {"f", "1", "0", "0", "512", "1", "4294967296"}, false},
    {"minus samples", {"f", "1", "0", "0", "512", "1", "-1"}, false},
    {"zero samples", {"f", "1", "0", "0", "512", "1", "0"}, true, 1, 0, 0, 512, 1, 0},
    {"empty samples", {"f", "1", "0", "0", "512", "1", ""}, true, 1, 0, 0, 512, 1, 0},
    {"samples with text", {"f", "1", "0", "0", "512", "1", "3s"}, false},
    // io_size: a positive multiple of 512.
    {"io_size 0", {"f", "1", "0", "0", "0", "1"}, false},
    {"io_size 511", {"f", "1", "0", "0", "511", "1"}, false},
    {"io_size 513", {"f", "1", "0", "0", "513", "1"}, false},
    {"io_size 1 MiB", {"f", "1", "0", "0", "1048576", "1"}, true, 1, 0, 0, 1048576, 1, 0},
    // Fractions: strtod, inside [0, 1], a number.
    {"fractions 0 and 1", {"f", "1", "0", "1", "512", "1"}, true, 1, 0, 1, 512, 1, 0},
    {"fractions 1 and 0", {"f", "1", "1", "0", "512", "1"}, true, 1, 1, 0, 512, 1, 0},
    {"empty fractions are 0", {"f", "1", "", "", "512", "1"}, true, 1, 0, 0, 512, 1, 0},
    {"exponent fraction", {"f", "1", "5e-1", "0.25", "512", "1"}, true, 1, 0.5, 0.25, 512, 1, 0},
    {"write fraction 1.5", {"f", "1", "1.5", "0", "512", "1"}, false},
    {"write fraction -0.1", {"f", "1", "-0.1", "0", "512", "1"}, false},
    {"fsync fraction 1.5", {"f", "1", "0", "1.5", "512", "1"}, false},
    {"fsync fraction -0.1", {"f", "1", "0", "-0.1", "512", "1"}, false},
    {"fraction then blank", {"f", "1", "0.5 ", "0", "512", "1"}, false},
    {"fraction with text", {"f", "1", "0.5x", "0", "512", "1"}, false},
    {"write fraction nan", {"f", "1", "nan", "0", "512", "1"}, false},
    {"fsync fraction nan", {"f", "1", "0", "NAN", "512", "1"}, false},
    {"write fraction inf", {"f", "1", "inf", "0", "512", "1"}, false},
    // The file name is only ever tested by opening it.
    {"empty file name", {"", "1", "0", "0", "512", "1"}, true, 1, 0, 0, 512, 1, 0},
};

TEST(ParseArguments, TableOfCases) {
  for (const ArgumentsCase& c : kArgumentsCases) {
    std::vector<const char*> argv = {"iothrash"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    argv.push_back(nullptr);
    run_config parsed = {};
    const bool accepted = parse_arguments(static_cast<int>(argv.size() - 1), argv.data(), &parsed);
    EXPECT_EQ(accepted, c.accepted) << c.name;
    if (!accepted || !c.accepted) continue;
    EXPECT_STREQ(parsed.filename, c.arguments[0]) << c.name;
    EXPECT_EQ(parsed.nr_threads, c.nr_threads) << c.name;
    EXPECT_EQ(parsed.write_fraction_of_io, c.write_fraction_of_io) << c.name;
    EXPECT_EQ(parsed.fsync_fraction_of_writes, c.fsync_fraction_of_writes) << c.name;
    EXPECT_EQ(parsed.io_size, c.io_size) << c.name;
    EXPECT_EQ(parsed.nr_seconds_between_samples, c.nr_seconds_between_samples) << c.name;
    EXPECT_EQ(parsed.nr_samples, c.nr_samples) << c.name;
  }
}

TEST(FormatUsage, IsTheExactMessage) {
  const std::string expected =
      "usage: ./iothrash filename nr_threads write_fraction_of_io fsync_fraction_of_writes "
      "io_size nr_seconds_between_samples [nr_samples]\n"
      "io_size must be a positive multiple of 512 bytes\n";
  EXPECT_EQ(usage_text("./iothrash"), expected);
  const std::string long_name(5000, 'x');
  EXPECT_EQ(usage_text(long_name.c_str()).substr(0, 5008), "usage: " + long_name + " ");
}

}  // namespace
