// Every figure of the report checked against what really happened: the
// operations against the transfers the kernel counted, the latencies against
// delays injected into the system calls, and the bytes written against
// compression and deduplication. Each test fails when its figure is wrong.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#ifdef IOTHRASH_HAVE_ZLIB
#include <zlib.h>
#endif

#include "e2e_support.h"
#include "report/table.h"

namespace {

// Runs iothrash under strace, which stops only at the calls named in
// `strace_options` (seccomp filter), so the other calls go at full speed.
run_result run_with_injection(const std::vector<std::string>& strace_options,
                              const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"strace",      "-f", "--seccomp-bpf", "-qq", "-e",
                                   "signal=none", "-o", "/dev/null"};
  argv.insert(argv.end(), strace_options.begin(), strace_options.end());
  argv.push_back(iothrash_path());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  run_options options;
  options.environment.push_back("ASAN_OPTIONS=detect_leaks=0");  // no leak check under ptrace
  options.timeout_seconds = 60;
  return run_command(argv, options);
}

// The data lines of a run's output; a failure for any line that is neither
// a header line nor a data line.
std::vector<report_line> data_lines(const std::string& out) {
  std::vector<report_line> lines;
  for (const std::string& line : lines_of(out)) {
    if (std::optional<report_line> figures = parse_data_line(line)) {
      lines.push_back(*figures);
    } else {
      EXPECT_NE(std::string(kReportHeader).find(line + "\n"), std::string::npos) << line;
    }
  }
  return lines;
}

// Completed reads and writes of a block device, each with the requests merged
// into them, as /proc/diskstats counts them.
struct device_counts {
  long long reads = -1;
  long long writes = -1;
};

device_counts read_device_counts(const std::string& device_path) {
  const std::string name = device_path.substr(device_path.rfind('/') + 1);
  device_counts counts;
  for (const std::string& line : lines_of(read_file("/proc/diskstats"))) {
    unsigned major_number, minor_number;
    char line_name[64];
    long long reads, reads_merged, sectors_read, reading_ms, writes, writes_merged;
    if (sscanf(line.c_str(), "%u %u %63s %lld %lld %lld %lld %lld %lld", &major_number,
               &minor_number, line_name, &reads, &reads_merged, &sectors_read, &reading_ms, &writes,
               &writes_merged) == 9 &&
        name == line_name) {
      counts.reads = reads + reads_merged;
      counts.writes = writes + writes_merged;
    }
  }
  return counts;
}

// The operations a report claims are the transfers the device saw. The
// monitor's second sleep is made to end 2 s late, as on a loaded machine:
// that line's rates must be divided by the 3 s it really lasted.
TEST(Figures, ClaimedOperationsMatchTheDevicesCountsWhenASleepEndsLate) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("losetup");
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  loop_device device(scratch.make_file("backing", 64 << 20));
  if (device.path.empty()) GTEST_SKIP() << "cannot attach a loop device";
  const device_counts before = read_device_counts(device.path);
  ASSERT_GE(before.reads, 0) << "no line for " << device.path << " in /proc/diskstats";

  const double late_seconds = 2;
  const int late_line = 2;
  const run_result result = run_with_injection(
      {"-e", "trace=clock_nanosleep", "-e",
       "inject=clock_nanosleep:delay_exit=2000000:when=" + std::to_string(late_line)},
      {device.path, "2", "0.3", "0", "4096", "1", "4"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const device_counts after = read_device_counts(device.path);
  const std::vector<report_line> lines = data_lines(result.out);
  ASSERT_EQ(lines.size(), 4u) << result.out;

  double claimed_reads = 0, claimed_writes = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const double interval_seconds = 1 + (i + 1 == late_line ? late_seconds : 0);
    claimed_reads += lines[i][kReads + kRate] * interval_seconds;
    claimed_writes += lines[i][kWrites + kRate] * interval_seconds;
  }
  // (No fsync: the device counts the flush of each among its writes.)
  // The kernel also saw the operations that were under way when the process
  // ended: a few hundred among the hundreds of thousands.
  const double device_reads = static_cast<double>(after.reads - before.reads);
  const double device_writes = static_cast<double>(after.writes - before.writes);
  EXPECT_GT(device_writes, 1000);
  EXPECT_NEAR(claimed_reads / device_reads, 1, 0.03)
      << claimed_reads << " reads claimed, " << device_reads << " seen\n"
      << result.out;
  EXPECT_NEAR(claimed_writes / device_writes, 1, 0.03)
      << claimed_writes << " writes claimed, " << device_writes << " seen\n"
      << result.out;
}

// With every read made to last at least 5 ms, the read figures show it, in
// milliseconds.
TEST(Figures, ReadLatenciesCarryAnInjectedDelayInMilliseconds) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  const run_result result =
      run_with_injection({"-e", "trace=pread64", "-e", "inject=pread64:delay_exit=5000"},
                         {target, "2", "0", "0", "4096", "1", "2"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<report_line> lines = data_lines(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  for (const report_line& line : lines) {
    const double min_ms = line[kReads + kMinMs];
    EXPECT_GE(min_ms, 5.0) << result.out;
    EXPECT_LE(line[kReads + kAvgMs], min_ms * 1.4) << result.out;
    EXPECT_LE(line[kReads + kMaxMs], 1000) << "seconds shown as milliseconds?\n" << result.out;
    // Two threads, each read at least 5 ms: at most 400 a second.
    EXPECT_GT(line[kReads + kRate], 0) << result.out;
    EXPECT_LE(line[kReads + kRate], 400) << result.out;
    EXPECT_EQ(line[kWrites + kRate], 0) << result.out;
  }
}

// A write's latency includes its fsync: delayed fsyncs show in the writes'
// figures and in no read's.
TEST(Figures, FsyncedWritesCarryTheFsyncsDelayAndReadsDoNot) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  const double fsync_delay_ms = 100;
  const run_result result =
      run_with_injection({"-e", "trace=fsync", "-e", "inject=fsync:delay_exit=100000"},
                         {target, "2", "0.5", "1", "4096", "1", "2"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<report_line> lines = data_lines(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  for (const report_line& line : lines) {
    ASSERT_GT(line[kWrites + kRate], 0) << result.out;
    ASSERT_GT(line[kReads + kRate], 0) << result.out;
    EXPECT_GE(line[kWrites + kMinMs], fsync_delay_ms) << result.out;
    EXPECT_GE(line[kWrites + kMaxMs], fsync_delay_ms) << result.out;
    EXPECT_LT(line[kReads + kMaxMs], fsync_delay_ms) << result.out;
  }
}

#ifdef IOTHRASH_HAVE_ZLIB
double compressed_ratio(const std::string& data) {
  uLongf compressed_size = compressBound(data.size());
  std::string compressed(compressed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressed_size,
                reinterpret_cast<const Bytef*>(data.data()), data.size(),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    ADD_FAILURE() << "zlib failed";
    return 0;
  }
  return static_cast<double>(compressed_size) / static_cast<double>(data.size());
}
#endif

// What the writes store cannot be shortcut by storage that compresses or
// deduplicates: half reads of a zeroed target (they bring back zeros) must
// not turn into zeros written, and no write repeats another.
TEST(Figures, WrittenBlocksAreIncompressibleAndNoSectorRepeats) {
#ifndef IOTHRASH_HAVE_ZLIB
  GTEST_SKIP() << "needs zlib (Debian: zlib1g-dev) at build";
#else
  scratch_dir scratch(direct_io_scratch_parent());
  const long long io_size = 4096;
  const std::string target = scratch.make_file("target", 2048 * io_size);  // zeros
  const run_result result =
      run_iothrash({target, "2", "0.5", "0", std::to_string(io_size), "1", "1"});
  ASSERT_EQ(result.exit_status, 0) << result.err;

  const std::string contents = read_file(target);
  const std::string zeros(io_size, '\0');
  std::vector<std::string> written;
  for (size_t at = 0; at + io_size <= contents.size(); at += io_size) {
    if (contents.compare(at, io_size, zeros) != 0) written.push_back(contents.substr(at, io_size));
  }
  ASSERT_GE(written.size(), 64u) << "too few blocks hold anything but zeros: were zeros written?";

  std::set<std::string> sectors;
  int nr_repeats = 0;
  for (size_t block = 0; block < written.size(); ++block) {
    EXPECT_GT(compressed_ratio(written[block]), 0.95) << "written block " << block;
    for (long long at = 0; at < io_size; at += 512) {
      nr_repeats += !sectors.insert(written[block].substr(at, 512)).second;
    }
  }
  EXPECT_EQ(nr_repeats, 0) << "sectors written more than once alike";
  // A file system compressing whole records sees neighbouring writes together.
  for (size_t first = 0; first + 32 <= written.size(); first += 32) {
    std::string record;
    for (size_t block = first; block < first + 32; ++block) record += written[block];
    EXPECT_GT(compressed_ratio(record), 0.95) << "32 written blocks from " << first;
  }
#endif
}

}  // namespace
