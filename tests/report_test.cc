// The report table as a user sees it: the header, the data lines and what
// they add up to, the header repeating every page of the terminal on standard
// input, and every finished line reaching standard output at once.
#include <errno.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
// openpty(): <pty.h> on Linux, <libutil.h> on FreeBSD; -lutil on both.
#ifdef __FreeBSD__
#include <libutil.h>
#else
#include <pty.h>
#endif

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/now_seconds.h"
#include "e2e_support.h"

namespace {

const std::string kHeader[3] = {
    "  total |  read:         latency (ms)       |  write:        latency (ms)",
    "   iops |   iops   min    avg    max   sdev |   iops   min    avg    max   sdev",
    "--------+-----------------------------------+----------------------------------",
};
constexpr int kFieldWidths[11] = {7, 7, 5, 6, 6, 6, 7, 5, 6, 6, 6};

bool figures_fit(const report_line& figures) {
  for (size_t i = 0; i < figures.size(); ++i) {
    if (snprintf(nullptr, 0, "%.1f", figures[i]) > kFieldWidths[i]) return false;
  }
  return true;
}

// What holds for any interval: the total is the sum of the two rates (each
// figure rounded to 0.1), the latencies of a kind that ran are ordered and
// their spread is a number, and a kind that did not run shows the empty
// figures.
void expect_consistent(const report_line& figures, const std::string& where) {
  EXPECT_NEAR(figures[0], figures[kReads] + figures[kWrites], 0.15 + 1e-9) << where;
  for (int first : {kReads, kWrites}) {
    const char* kind = first == kReads ? " (reads)" : " (writes)";
    const double rate = figures[first], min = figures[first + 1], avg = figures[first + 2],
                 max = figures[first + 3], sdev = figures[first + 4];
    if (rate > 0) {
      EXPECT_GE(min, 0) << where << kind;
      EXPECT_LE(min, avg) << where << kind;
      EXPECT_LE(avg, max) << where << kind;
      // A single operation has no deviation.
      EXPECT_TRUE(sdev >= 0 || (isnan(sdev) && min == max)) << where << kind;
    } else {
      EXPECT_EQ(rate, 0) << where << kind;
      EXPECT_TRUE(isinf(min) && min > 0) << where << kind;
      EXPECT_TRUE(isnan(avg)) << where << kind;
      EXPECT_EQ(max, 0) << where << kind;
      EXPECT_TRUE(isnan(sdev)) << where << kind;
    }
  }
}

// Checks a whole report that ran `nr_data_lines` intervals with one header
// every `lines_per_header`: the header, complete data lines, all consistent.
void expect_report(const std::string& text, int nr_data_lines, int lines_per_header,
                   const std::string& where) {
  EXPECT_TRUE(text.empty() || text.back() == '\n') << where << ": a line left unfinished";
  std::string expected_shape;
  for (int line = 0; line < nr_data_lines; ++line) {
    if (line % lines_per_header == 0) expected_shape += "HHH";
    expected_shape += 'd';
  }
  std::string shape;
  const std::vector<std::string> lines = lines_of(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t trailing_headers = 0;
    while (trailing_headers < shape.size() && shape[shape.size() - 1 - trailing_headers] == 'H') {
      ++trailing_headers;
    }
    if (lines[i] == kHeader[trailing_headers % 3]) {
      shape += 'H';
    } else if (std::optional<report_line> figures = parse_data_line(lines[i])) {
      shape += 'd';
      expect_consistent(*figures, where + ", line " + std::to_string(i + 1) + ": " + lines[i]);
    } else {
      shape += '?';
    }
  }
  EXPECT_EQ(shape, expected_shape) << where << " (H header, d data line, ? neither):\n" << text;
}

// Runs each of `runs` in a thread of its own, all at once, so that runs of
// many intervals overlap; the results come back in order.
std::vector<run_result> run_at_once(const std::vector<std::function<run_result()>>& runs) {
  std::vector<run_result> results(runs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < runs.size(); ++i) {
    threads.emplace_back([&runs, &results, i] { results[i] = runs[i](); });
  }
  for (std::thread& thread : threads) thread.join();
  return results;
}

// A pseudo-terminal of a given height, closed when the test ends.
struct pseudo_terminal {
  explicit pseudo_terminal(unsigned short rows) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      error = std::string("openpty: ") + strerror(errno);
      return;
    }
    // Raw, so the program's lines come out of the master as it wrote them.
    termios settings;
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    winsize size = {};
    size.ws_row = rows;
    size.ws_col = 80;
    if (ioctl(slave, TIOCSWINSZ, &size) != 0) error = std::string("TIOCSWINSZ: ") + strerror(errno);
  }
  ~pseudo_terminal() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  pseudo_terminal(const pseudo_terminal&) = delete;
  pseudo_terminal& operator=(const pseudo_terminal&) = delete;

  // What the program wrote to the slave. The slave stays open here, so the
  // master never hangs up; the output is complete once it goes quiet.
  std::string drain_master() const {
    std::string text;
    pollfd ready = {master, POLLIN, 0};
    char chunk[4096];
    while (poll(&ready, 1, 500) > 0) {
      const ssize_t got = read(master, chunk, sizeof chunk);
      if (got <= 0) break;
      text.append(chunk, static_cast<size_t>(got));
    }
    return text;
  }

  int master = -1;
  int slave = -1;
  std::string error;  // why it cannot be used; empty when it can
};

struct one_sample_case {
  const char* name;
  const char* write_fraction;
  const char* fsync_fraction;
  const char* io_size;
  long long file_bytes;
  bool reads;
  bool writes;
};

// Quick enough for the sanitizer builds: one one-second interval per row.
TEST(ShortRun, OneSampleIsTheHeaderAndOneConsistentLine) {
  scratch_dir scratch(direct_io_scratch_parent());
  const one_sample_case cases[] = {
      {"mixed, 4 KiB", "0.3", "0.1", "4096", 1 << 20, true, true},
      // Large transfers keep the rates small enough to fit their columns.
      {"mixed, 1 MiB", "0.3", "0.1", "1048576", 8 << 20, true, true},
      {"read-only", "0", "1", "4096", 1 << 20, true, false},
      {"write-only", "1", "0", "4096", 1 << 20, false, true},
  };
  for (const one_sample_case& c : cases) {
    const std::string target = scratch.make_file("target", c.file_bytes);
    const run_result result =
        run_iothrash({target, "2", c.write_fraction, c.fsync_fraction, c.io_size, "1", "1"});
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    expect_report(result.out, 1, 1, c.name);
    const std::vector<std::string> lines = lines_of(result.out);
    if (lines.size() != 4) continue;
    const std::optional<report_line> figures = parse_data_line(lines[3]);
    if (!figures) continue;  // reported by expect_report
    EXPECT_EQ((*figures)[kReads] > 0, c.reads) << c.name << ": " << lines[3];
    EXPECT_EQ((*figures)[kWrites] > 0, c.writes) << c.name << ": " << lines[3];
    if (figures_fit(*figures)) {
      // The bars then sit under the header's.
      EXPECT_EQ(lines[3].size(), 79u) << c.name << ": " << lines[3];
      EXPECT_EQ(lines[3].find('|'), 8u) << c.name << ": " << lines[3];
      EXPECT_EQ(lines[3].rfind('|'), 44u) << c.name << ": " << lines[3];
    }
  }
}

struct paging_case {
  const char* name;
  int stdin_rows;   // the height of the terminal on stdin; -1: stdin is /dev/null
  int stdout_rows;  // the height of a terminal on stdout; -1: stdout is a pipe
  int nr_samples;
  int lines_per_header;
};

TEST(Report, HeaderRepeatsEveryPageOfTheTerminalOnStdin) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  // Enough samples for a second header, and its first line after it.
  const paging_case cases[] = {
      {"12-row terminal", 12, -1, 10, 9},
      {"5-row terminal, raised to 10", 5, -1, 8, 7},
      {"terminal of 0 rows, raised to 10", 0, -1, 8, 7},
      {"stdin not a terminal", -1, -1, 22, 21},
      {"only stdout a terminal, of 12 rows", -1, 12, 22, 21},
  };
  std::vector<std::unique_ptr<pseudo_terminal>> terminals;
  std::vector<std::function<run_result()>> runs;
  for (const paging_case& c : cases) {
    const int rows = c.stdin_rows >= 0 ? c.stdin_rows : c.stdout_rows;
    const pseudo_terminal* terminal = nullptr;
    if (rows >= 0) {
      terminals.push_back(std::make_unique<pseudo_terminal>(rows));
      if (!terminals.back()->error.empty()) {
        GTEST_SKIP() << "needs a pseudo-terminal: " << terminals.back()->error;
      }
      terminal = terminals.back().get();
    }
    runs.push_back([&target, c, terminal] {
      run_options options;
      options.timeout_seconds = c.nr_samples + 30;
      if (c.stdin_rows >= 0) options.stdin_fd = terminal->slave;
      if (c.stdout_rows >= 0) options.stdout_fd = terminal->slave;
      // One reading thread: five runs share the processors for many seconds.
      run_result result =
          run_iothrash({target, "1", "0", "1", "4096", "1", std::to_string(c.nr_samples)}, options);
      if (c.stdout_rows >= 0) result.out = terminal->drain_master();
      return result;
    });
  }
  const std::vector<run_result> results = run_at_once(runs);
  for (size_t i = 0; i < results.size(); ++i) {
    const paging_case& c = cases[i];
    EXPECT_EQ(results[i].exit_status, 0) << c.name << (results[i].timed_out ? ", timed out" : "");
    EXPECT_EQ(results[i].err, "") << c.name;
    expect_report(results[i].out, c.nr_samples, c.lines_per_header, c.name);
  }
}

struct stop_case {
  const char* name;
  bool to_file;  // stdout a scratch file, else a pipe
  int stop_signal;
  int stop_after_lines;
};

// The program flushes each line itself, so neither a file's nor a pipe's
// buffering holds a finished line back from the reader or from a killed run.
TEST(Report, StoppedRunKeepsEveryFinishedLine) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  const stop_case cases[] = {
      {"stdout a file, SIGINT", true, SIGINT, 5},
      {"stdout a pipe, SIGTERM", false, SIGTERM, 4},
  };
  std::vector<std::function<run_result()>> runs;
  for (const stop_case& c : cases) {
    runs.push_back([&, c] {
      run_options options;
      if (c.to_file)
        options.stdout_path = scratch.path + "/report-" + std::to_string(c.stop_signal);
      options.stop_after_lines = c.stop_after_lines;
      options.stop_signal = c.stop_signal;
      options.timeout_seconds = 15;
      // No sample limit: only the signal ends it.
      run_result result = run_iothrash({target, "2", "0.3", "0.1", "4096", "1"}, options);
      if (c.to_file) result.out = read_file(options.stdout_path);
      return result;
    });
  }
  const std::vector<run_result> results = run_at_once(runs);
  for (size_t i = 0; i < results.size(); ++i) {
    const stop_case& c = cases[i];
    const run_result& result = results[i];
    // A timeout here means the lines never reached the reader.
    EXPECT_FALSE(result.timed_out) << c.name << ", output so far:\n" << result.out;
    EXPECT_EQ(result.signal, c.stop_signal) << c.name;
    EXPECT_EQ(result.exit_status, -1) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    // The signal goes out once the lines are there; one more interval may
    // finish before it lands.
    const int nr_data_lines = static_cast<int>(lines_of(result.out).size()) - 3;
    EXPECT_GE(nr_data_lines, c.stop_after_lines - 3) << c.name << ":\n" << result.out;
    expect_report(result.out, nr_data_lines, 21, c.name);
  }
}

TEST(ShortRun, UnwritableStdoutEndsTheRun) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  run_options options;
  options.stdout_path = "/dev/full";
  options.timeout_seconds = 10;
  // No sample limit: only the failed write may end it.
  const run_result result = run_iothrash({target, "2", "0.3", "0.1", "4096", "1"}, options);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.err, "stdout: No space left on device\n");
  EXPECT_EQ(result.exit_status, 1);
}

TEST(Report, IntervalSetsTheSamplingPeriod) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  const double start = now_seconds();
  const run_result result = run_iothrash({target, "2", "0.3", "0.1", "4096", "2", "2"});
  const double elapsed = now_seconds() - start;
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  // Two intervals of 2 s; only a lower bound, a loaded machine may be slower.
  EXPECT_GE(elapsed, 3.5);
  expect_report(result.out, 2, 21, "interval 2, 2 samples");
}

}  // namespace
