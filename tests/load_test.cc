// The load itself, seen from outside on real targets: the open and the seek
// for the size, every transfer and fsync as strace records them, the bytes
// left on the target, and the one report a failing system call gives.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr size_t kHeaderLines = 3;

// A run under strace -ff: one trace file per thread, so a thread's calls come
// whole and in order, never split into "unfinished" and "resumed" halves.
struct traced_run {
  run_result result;  // err holds the program's standard error alone
  std::string strace_messages;
  std::vector<std::vector<std::string>> threads;  // each thread's trace lines
};

traced_run run_traced(const scratch_dir& scratch, const std::vector<std::string>& strace_options,
                      const std::vector<std::string>& arguments, const run_options& options = {}) {
  static int nr_runs = 0;
  const std::string folder = scratch.path + "/trace-" + std::to_string(++nr_runs);
  mkdir(folder.c_str(), 0755);
  std::vector<std::string> argv = {"strace",      "-ff", "-qq",        "-e",
                                   "signal=none", "-o",  folder + "/t"};
  argv.insert(argv.end(), strace_options.begin(), strace_options.end());
  argv.push_back(iothrash_path());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // In the AddressSanitizer build: the leak check at exit cannot run under
  // ptrace (and the program frees nothing by design).
  run_options traced_options = options;
  traced_options.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
  traced_run run;
  run.result = run_command(argv, traced_options);
  // strace's own complaints share standard error with the program, such as
  // "Failed to tamper" with a thread that the exit ended inside an injected
  // call; the program never starts a line with "strace: ".
  std::string program_err;
  for (size_t at = 0; at < run.result.err.size();) {
    const size_t end = std::min(run.result.err.find('\n', at), run.result.err.size() - 1) + 1;
    const std::string line = run.result.err.substr(at, end - at);
    (line.starts_with("strace: ") ? run.strace_messages : program_err) += line;
    at = end;
  }
  run.result.err = program_err;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    run.threads.push_back(lines_of(read_file(entry.path())));
  }
  return run;
}

// One call as strace prints it, e.g.
//   pread64(3, "\0\0"..., 4096, 8192) = 4096
//   pwrite64(3, "\0\0"..., 4096, 0) = ?        (the process ended inside it)
//   pread64(3,  <unfinished ...>) = ?
//   fsync(3)                                = -1 EIO (Input/output error) (INJECTED)
struct traced_call {
  std::string name;
  std::string line;
  int fd = -1;
  long long size = -1;    // a transfer's byte count; -1 when not shown
  long long offset = -1;  // -1 when not shown
  std::string result;     // the first word after " = "
};

bool parse_number(const std::string& text, long long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoll(text);
  return true;
}

bool parse_call(const std::string& line, traced_call* call) {
  const size_t paren = line.find('(');
  const size_t equals = line.rfind(" = ");
  if (paren == std::string::npos || equals == std::string::npos) return false;
  call->name = line.substr(0, paren);
  if (call->name != "pread64" && call->name != "pwrite64" && call->name != "fsync" &&
      call->name != "lseek") {
    return false;
  }
  call->line = line;
  call->fd = atoi(line.c_str() + paren + 1);
  const size_t result_at = equals + 3;
  call->result = line.substr(result_at, line.find(' ', result_at) - result_at);
  if (call->name == "pread64" || call->name == "pwrite64") {
    std::string head = line.substr(0, line.find_last_not_of(' ', equals) + 1);
    if (!head.empty() && head.back() == ')') head.pop_back();
    const size_t last = head.rfind(", ");
    const size_t before = last == std::string::npos ? last : head.rfind(", ", last - 1);
    if (before != std::string::npos && parse_number(head.substr(last + 2), &call->offset) &&
        parse_number(head.substr(before + 2, last - before - 2), &call->size)) {
      return true;
    }
    call->offset = call->size = -1;
  }
  return true;
}

// The target's open and the calls on it, thread by thread.
struct target_trace {
  int nr_opens = 0;
  int fd = -1;
  std::set<std::string> open_flags;
  std::vector<std::vector<traced_call>> threads;
  std::vector<std::string> strays;  // calls on any other descriptor once it is open
};

target_trace trace_of_target(const traced_run& run, const std::string& target) {
  const std::string opening = "openat(AT_FDCWD, \"" + target + "\", ";
  target_trace trace;
  for (const std::vector<std::string>& lines : run.threads) {
    for (const std::string& line : lines) {
      if (line.rfind(opening, 0) != 0) continue;
      trace.nr_opens += 1;
      const size_t from = opening.size();
      const std::string flags = line.substr(from, line.find_first_of(",)", from) - from);
      for (size_t at = 0; at <= flags.size();) {
        const size_t bar = std::min(flags.find('|', at), flags.size());
        trace.open_flags.insert(flags.substr(at, bar - at));
        at = bar + 1;
      }
      trace.fd = atoi(line.c_str() + line.rfind(" = ") + 3);
    }
  }
  for (const std::vector<std::string>& lines : run.threads) {
    // Only the thread that opens the target has lines before the open: the
    // loader's reads of the libraries, through the same descriptor number.
    bool target_open = std::none_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind(opening, 0) == 0;
    });
    std::vector<traced_call> calls;
    for (const std::string& line : lines) {
      traced_call call;
      if (line.rfind(opening, 0) == 0) target_open = true;
      if (!target_open || !parse_call(line, &call)) continue;
      if (call.fd == trace.fd) {
        calls.push_back(call);
      } else {
        trace.strays.push_back(line);
      }
    }
    trace.threads.push_back(calls);
  }
  return trace;
}

// What the transfers on the target add up to; each one is checked against
// the target on the way.
struct load_summary {
  long long nr_reads = 0;
  long long nr_writes = 0;
  long long nr_fsyncs = 0;
  long long nr_fsyncs_not_after_a_write = 0;
  long long nr_writes_without_fsync = 0;  // a thread's last write not counted
  std::set<long long> blocks;             // offset / io_size of every transfer
};

load_summary summarise_load(const target_trace& trace, long long file_size, long long io_size) {
  load_summary summary;
  for (const std::vector<traced_call>& calls : trace.threads) {
    for (size_t i = 0; i < calls.size(); ++i) {
      const traced_call& call = calls[i];
      const bool last = i + 1 == calls.size();
      // The call the process ended inside shows "?" or, from strace, a stray
      // value (the number of exit_group, say); every other one its result.
      const bool result_known = !last;
      if (call.name == "fsync") {
        summary.nr_fsyncs += 1;
        if (result_known) {
          EXPECT_EQ(call.result, "0") << call.line;
        }
        if (i == 0 || calls[i - 1].name != "pwrite64") summary.nr_fsyncs_not_after_a_write += 1;
        continue;
      }
      if (call.name != "pread64" && call.name != "pwrite64") continue;
      (call.name == "pread64" ? summary.nr_reads : summary.nr_writes) += 1;
      if (call.name == "pwrite64" && !last && calls[i + 1].name != "fsync") {
        summary.nr_writes_without_fsync += 1;
      }
      if (call.offset < 0) {
        // Only a read cut short shows neither size nor offset.
        EXPECT_TRUE(last && call.name == "pread64") << call.line;
        continue;
      }
      EXPECT_EQ(call.size, io_size) << call.line;
      EXPECT_EQ(call.offset % io_size, 0) << call.line;
      EXPECT_LE(call.offset + io_size, file_size) << call.line;
      if (result_known) {
        EXPECT_EQ(call.result, std::to_string(io_size)) << call.line;
      }
      summary.blocks.insert(call.offset / io_size);
    }
  }
  return summary;
}

void expect_open_flags(const target_trace& trace, const std::string& access_mode) {
  const std::string other_mode = access_mode == "O_RDWR" ? "O_RDONLY" : "O_RDWR";
  EXPECT_EQ(trace.nr_opens, 1);
  EXPECT_TRUE(trace.open_flags.count("O_DIRECT")) << "no O_DIRECT";
  EXPECT_TRUE(trace.open_flags.count(access_mode)) << "no " << access_mode;
  EXPECT_FALSE(trace.open_flags.count(other_mode)) << other_mode;
  EXPECT_FALSE(trace.open_flags.count("O_WRONLY")) << "O_WRONLY";
  EXPECT_FALSE(trace.open_flags.count("O_CREAT")) << "never creates the target";
  EXPECT_FALSE(trace.open_flags.count("O_TRUNC")) << "never truncates the target";
  EXPECT_TRUE(trace.strays.empty()) << trace.strays.front();
}

enum class fsync_rule { never, after_every_write, only_after_writes };

struct pattern_case {
  const char* name;
  long long file_size;
  long long io_size;
  const char* write_fraction;
  const char* fsync_fraction;
  const char* access_mode;  // besides O_DIRECT
  bool reads;               // whether there are preads at all
  bool writes;              // whether there are pwrites at all
  fsync_rule fsyncs;
};

TEST(LoadPattern, OpenFlagsOffsetsKindsAndFsyncsAsTraced) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  // Targets of a few blocks, so that in one interval every block, the last
  // one above all, must be reached; ragged sizes leave a tail never touched.
  const pattern_case cases[] = {
      {"reads only, fsync fraction unused", 4 * 4096, 4096, "0", "1", "O_RDONLY", true, false,
       fsync_rule::never},
      {"mixed, no fsync, ten and a half blocks", 43008, 4096, "0.5", "0", "O_RDWR", true, true,
       fsync_rule::never},
      {"mixed, some fsyncs, io_size not a power of two", 10 * 1536 + 768, 1536, "0.5", "0.5",
       "O_RDWR", true, true, fsync_rule::only_after_writes},
      {"writes only, every one fsynced", 4 * 4096, 4096, "1", "1", "O_RDWR", false, true,
       fsync_rule::after_every_write},
      {"target of exactly one io_size", 65536, 65536, "0.3", "0.5", "O_RDWR", true, true,
       fsync_rule::only_after_writes},
  };
  for (const pattern_case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = scratch.make_file("target", c.file_size);
    const traced_run run = run_traced(
        scratch, {"-e", "trace=openat,pread64,pwrite64,fsync"},
        {target, "2", c.write_fraction, c.fsync_fraction, std::to_string(c.io_size), "1", "1"});
    EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(lines_of(run.result.out).size(), kHeaderLines + 1) << run.result.out;

    const target_trace trace = trace_of_target(run, target);
    expect_open_flags(trace, c.access_mode);
    const load_summary load = summarise_load(trace, c.file_size, c.io_size);
    EXPECT_EQ(load.nr_reads > 0, c.reads) << load.nr_reads << " preads";
    EXPECT_EQ(load.nr_writes > 0, c.writes) << load.nr_writes << " pwrites";
    EXPECT_EQ(load.nr_fsyncs > 0, c.fsyncs != fsync_rule::never) << load.nr_fsyncs << " fsyncs";
    EXPECT_EQ(load.nr_fsyncs_not_after_a_write, 0);
    if (c.fsyncs == fsync_rule::after_every_write) {
      EXPECT_EQ(load.nr_writes_without_fsync, 0);
    }
    const long long nr_blocks = c.file_size / c.io_size;
    EXPECT_EQ(static_cast<long long>(load.blocks.size()), nr_blocks) << "blocks reached";
    EXPECT_TRUE(load.blocks.count(nr_blocks - 1)) << "the last whole block is never reached";
  }
}

// The clock sources whose time the kernel hands to user space (vDSO); on any
// other, reading the clock is a system call whatever the program does.
bool clock_is_read_in_user_space() {
  const std::string source =
      read_file("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  for (const char* name :
       {"tsc\n", "kvm-clock\n", "hyperv_clocksource_tsc_page\n", "arch_sys_counter\n"}) {
    if (source == name) return true;
  }
  return false;
}

// Once a thrasher has started, its only system calls are the transfers, the
// fsyncs and the futex waits of a contended lock: the clock, the lock and the
// draws all stay in user space.
TEST(LoadPattern, ThrashersMakeNoSystemCallsButTransfersFsyncsAndLockWaits) {
  SKIP_UNLESS_PROGRAM("strace");
  if (!clock_is_read_in_user_space()) GTEST_SKIP() << "this clock source is read by a system call";
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 64 * 4096);
  const traced_run run = run_traced(scratch, {}, {target, "3", "0.5", "0.5", "4096", "1", "1"});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  int nr_thrashers = 0;
  for (const std::vector<std::string>& lines : run.threads) {
    const auto first_transfer =
        std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
          return line.starts_with("pread64(") || line.starts_with("pwrite64(");
        });
    // The main thread opens the target; its own preads are the loader's.
    const bool opens_target = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find("\"" + target + "\"") != std::string::npos;
    });
    if (first_transfer == lines.end() || opens_target) continue;
    nr_thrashers += 1;
    std::set<std::string> others;
    // The process ends under each thrasher in its last call, which strace
    // then shows half-decoded ("???()", "exit_group(0 <detached ...>"): only
    // the calls before it are the thrasher's own.
    auto end = lines.end();
    while (end != first_transfer && std::prev(end)->starts_with("+++")) --end;
    if (end != first_transfer) --end;
    for (auto line = first_transfer; line != end; ++line) {
      const std::string name = line->substr(0, line->find('('));
      if (name != "pread64" && name != "pwrite64" && name != "fsync" && name != "futex") {
        others.insert(*line);
      }
    }
    EXPECT_TRUE(others.empty()) << "a thrasher called: " << *others.begin();
  }
  EXPECT_EQ(nr_thrashers, 3);
}

struct fault_case {
  const char* name;
  std::vector<std::string> strace_options;  // after "-P target"
  std::vector<std::string> arguments;       // after the target
  std::string expected_stderr;
  std::set<size_t> allowed_nr_lines;  // of standard output
  int nr_runs;                        // more than one for a race
};

// Runs `c` under strace against `target` and checks the one report, the
// status and what reached standard output.
void expect_fault(const scratch_dir& scratch, const std::string& target, const fault_case& c) {
  SCOPED_TRACE(c.name);
  run_options options;
  options.timeout_seconds = 20;  // a fault that never ends the run
  std::vector<std::string> strace_options = {"-P", target};
  strace_options.insert(strace_options.end(), c.strace_options.begin(), c.strace_options.end());
  std::vector<std::string> arguments = {target};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  int most_failures_at_once = 0;
  for (int run_number = 1; run_number <= c.nr_runs; ++run_number) {
    SCOPED_TRACE("run " + std::to_string(run_number));
    const traced_run run = run_traced(scratch, strace_options, arguments, options);
    EXPECT_FALSE(run.result.timed_out);
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_EQ(run.result.exit_status, 1);
    EXPECT_EQ(run.result.err, c.expected_stderr);
    EXPECT_TRUE(c.allowed_nr_lines.count(lines_of(run.result.out).size())) << run.result.out;
    EXPECT_TRUE(run.result.out.empty() || run.result.out.back() == '\n') << run.result.out;
    int nr_failures = 0;
    for (const std::vector<std::string>& lines : run.threads) {
      for (const std::string& line : lines) nr_failures += line.ends_with("(INJECTED)");
    }
    most_failures_at_once = std::max(most_failures_at_once, nr_failures);
  }
  if (c.nr_runs > 1) {
    EXPECT_GE(most_failures_at_once, 2) << "no run had two threads fail: the race was not run";
  }
}

const char kIoError[] = "thrasher read or write: Input/output error\n";

TEST(LoadFaults, InjectedFailuresGiveOneReportAndStatusOne) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  // strace counts calls per thread, so "when=50" fails every thrasher's 50th.
  // -P keeps injection to calls on the target, not the loader's reads. An
  // interval of 10 s and no sample limit: the run ends by the fault alone,
  // before any data line (the header may or may not be out by then).
  const fault_case cases[] = {
      {"a read fails",
       {"-e", "trace=pread64", "-e", "inject=pread64:error=EIO:when=50"},
       {"2", "0", "0", "4096", "10"},
       kIoError,
       {0, kHeaderLines},
       1},
      {"a write fails",
       {"-e", "trace=pwrite64", "-e", "inject=pwrite64:error=EIO:when=50"},
       {"2", "1", "0", "4096", "10"},
       kIoError,
       {0, kHeaderLines},
       1},
      {"an fsync fails",
       {"-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=3"},
       {"2", "1", "1", "4096", "10"},
       "thrasher fsync: Input/output error\n",
       {0, kHeaderLines},
       1},
      // The fifth read stalls 3 s, then fails, a second clear of either end of
      // the second 2 s interval: the first line is out, the figures of the
      // interval it fails in never are.
      {"a read fails in the second interval",
       {"-e", "trace=pread64", "-e", "inject=pread64:error=EIO:delay_enter=3000000:when=5"},
       {"1", "0", "0", "4096", "2"},
       kIoError,
       {kHeaderLines + 1},
       1},
      {"the size cannot be taken",
       {"-e", "trace=lseek", "-e", "inject=lseek:error=ESPIPE"},
       {"1", "0", "0", "4096", "1", "1"},
       "lseek: Illegal seek\n",
       {0},
       1},
  };
  for (const fault_case& c : cases) expect_fault(scratch, target, c);
}

// Also run in the sanitizer builds: the exit while other threads fail too.
TEST(ShortFaults, SeveralThreadsFailingAtOnceGiveOneReport) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1 << 20);
  const fault_case race = {"every read of eight threads fails",
                           {"-e", "trace=pread64", "-e", "inject=pread64:error=EIO"},
                           {"8", "0", "0", "4096", "10"},
                           kIoError,
                           {0, kHeaderLines},
                           5};
  expect_fault(scratch, target, race);
}

TEST(LoadTargets, FullFileSystemGivesNoSpaceLeftOnDevice) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("mkfs.ext4");
  SKIP_UNLESS_PROGRAM("mount");
  scratch_dir scratch;  // declared first: it holds the image and must outlive the mount
  mounted_ext4 file_system(scratch, 16 << 20);
  if (file_system.mount_point.empty()) {
    GTEST_SKIP() << "cannot mount an ext4 image: " << file_system.error;
  }
  const std::string target = file_system.mount_point + "/target";
  struct {
    const char* name;
    const char* nr_threads;
    const char* fsync_fraction;
    const char* io_size;
  } const cases[] = {
      {"2 threads, 64 KiB, no fsync", "2", "0", "65536"},
      {"8 threads, 4 KiB, some fsyncs", "8", "0.1", "4096"},
  };
  run_options options;
  options.timeout_seconds = 60;  // filling 16 MiB takes about a second
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Sparse and far larger than the free space: writes into its holes fill
    // the file system. Closed at once, so nothing but the run holds it.
    ASSERT_TRUE(make_sparse_file(target, 1ll << 30)) << target;
    const run_result result =
        run_iothrash({target, c.nr_threads, "1", c.fsync_fraction, c.io_size, "1"}, options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "thrasher read or write: No space left on device\n");
    EXPECT_GE(lines_of(result.out).size(), kHeaderLines) << result.out;
    EXPECT_TRUE(result.out.ends_with('\n')) << result.out;
    unlink(target.c_str());  // room again for the next row
  }
}

TEST(LoadTargets, BlockDeviceIsSizedBySeekingToItsEnd) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("losetup");
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  // A size that is no multiple of io_size: its tail must stay untouched.
  const long long size = (8 << 20) + 1536;
  const long long io_size = 4096;
  loop_device device(scratch.make_file("backing", size));
  if (device.path.empty()) GTEST_SKIP() << "cannot attach a loop device";
  const traced_run run =
      run_traced(scratch, {"-e", "trace=openat,lseek,pread64,pwrite64"},
                 {device.path, "2", "0.3", "0", std::to_string(io_size), "1", "1"});
  EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(lines_of(run.result.out).size(), kHeaderLines + 1) << run.result.out;

  const target_trace trace = trace_of_target(run, device.path);
  expect_open_flags(trace, "O_RDWR");
  // stat() gives a device no size; the seek to its end must be what sized it.
  int nr_seeks = 0;
  for (const std::vector<traced_call>& calls : trace.threads) {
    for (const traced_call& call : calls) {
      if (call.name != "lseek") continue;
      nr_seeks += 1;
      EXPECT_TRUE(call.line.starts_with("lseek(" + std::to_string(trace.fd) + ", 0, SEEK_END)"))
          << call.line;
      EXPECT_EQ(call.result, std::to_string(size)) << call.line;
    }
  }
  EXPECT_EQ(nr_seeks, 1);
  const load_summary load = summarise_load(trace, size, io_size);
  EXPECT_GT(load.nr_reads, 0);
  EXPECT_GT(load.nr_writes, 0);
}

}  // namespace

namespace {

const char kDeviceBusy[] = "open: Device or resource busy\n";

// A write run must never reach a device whose file system is mounted; a
// read-only run may, and the same device, once free, takes writes.
TEST(LoadTargets, WriteRunOnAMountedDeviceIsRefusedBeforeAnythingIsWritten) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("losetup");
  SKIP_UNLESS_PROGRAM("mkfs.ext4");
  scratch_dir scratch;  // declared first: it holds the image and must outlive the mount
  const std::string image = scratch.make_file("image", 32 << 20);
  loop_device device(image);
  if (device.path.empty()) GTEST_SKIP() << "cannot attach a loop device";
  mounted_ext4 file_system(device.path, scratch.path + "/mnt");
  ASSERT_NE(file_system.mount_point, "") << file_system.error;
  ASSERT_TRUE(write_file(file_system.mount_point + "/kept", "a file the run must not destroy"));
  ASSERT_EQ(run_command({"sync"}).exit_status, 0);
  const std::string image_before = read_file(image);

  const run_result refused = run_iothrash({device.path, "2", "0.5", "0.5", "4096", "1", "1"});
  EXPECT_EQ(refused.err, kDeviceBusy);
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");

  const run_result reading = run_iothrash({device.path, "2", "0", "1", "4096", "1", "1"});
  EXPECT_EQ(reading.exit_status, 0) << reading.err;
  EXPECT_EQ(lines_of(reading.out).size(), kHeaderLines + 1) << reading.out;

  ASSERT_EQ(run_command({"sync"}).exit_status, 0);
  EXPECT_TRUE(read_file(image) == image_before) << "the mounted file system's image changed";
  EXPECT_EQ(read_file(file_system.mount_point + "/kept"), "a file the run must not destroy");

  ASSERT_TRUE(file_system.unmount());
  const run_result writing = run_iothrash({device.path, "2", "0.5", "0.5", "4096", "1", "1"});
  EXPECT_EQ(writing.exit_status, 0) << writing.err;
  EXPECT_EQ(lines_of(writing.out).size(), kHeaderLines + 1) << writing.out;
}

// A DOS partition table with one Linux partition of `nr_sectors` from sector
// `first_sector`, written over the first sector of `path`.
bool write_partition_table(const std::string& path, uint32_t first_sector, uint32_t nr_sectors) {
  unsigned char sector[512] = {};
  unsigned char* const entry = sector + 446;
  entry[4] = 0x83;  // Linux
  for (int i = 0; i < 4; ++i) {
    entry[8 + i] = static_cast<unsigned char>(first_sector >> (8 * i));
    entry[12 + i] = static_cast<unsigned char>(nr_sectors >> (8 * i));
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool written = pwrite(fd, sector, sizeof sector, 0) == sizeof sector;
  close(fd);
  return written;
}

TEST(LoadTargets, WriteRunOnADiskWithAMountedPartitionIsRefused) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("losetup");
  SKIP_UNLESS_PROGRAM("mkfs.ext4");
  scratch_dir scratch;
  const std::string image = scratch.make_file("disk", 48 << 20);
  ASSERT_TRUE(write_partition_table(image, 2048, 32 << 11));  // 32 MiB from 1 MiB on
  loop_device disk(image, /*scan_partitions=*/true);
  if (disk.path.empty()) GTEST_SKIP() << "cannot attach a loop device";
  const std::string partition = partition_node(disk, 1, scratch.path);
  ASSERT_NE(partition, "") << "the kernel made no partition of " << disk.path;
  mounted_ext4 file_system(partition, scratch.path + "/mnt");
  ASSERT_NE(file_system.mount_point, "") << file_system.error;

  const run_result refused = run_iothrash({disk.path, "2", "1", "0", "4096", "1", "1"});
  EXPECT_EQ(refused.err, kDeviceBusy);
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");
}

}  // namespace
