// The program's command line and start-up, black box: each row a command and
// what it must write to standard error, with status 1 and nothing on stdout.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

struct start_up_case {
  const char* name;
  std::vector<std::string> arguments;  // "TARGET" stands for a 4 KiB scratch file
  std::string expected_stderr;         // "USAGE" stands for the usage message
};

TEST(CommandLine, RejectedArgumentsAndStartUpFailures) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 4096);
  const std::string empty = scratch.make_file("empty", 0);
  const std::string missing = scratch.path + "/missing";
  const std::string folder = scratch.path + "/folder";
  mkdir(folder.c_str(), 0755);
  const start_up_case cases[] = {
      {"no arguments", {}, "USAGE"},
      {"five arguments", {"TARGET", "1", "0", "0", "512"}, "USAGE"},
      {"eight arguments", {"TARGET", "1", "0", "0", "512", "1", "1", "1"}, "USAGE"},
      {"zero threads", {"TARGET", "0", "0", "0", "512", "1", "1"}, "USAGE"},
      {"minus one threads", {"TARGET", "-1", "0", "0", "512", "1", "1"}, "USAGE"},
      {"threads past 64 bits", {"TARGET", "18446744073709551616", "0", "0", "512", "1"}, "USAGE"},
      {"write fraction 1.5", {"TARGET", "1", "1.5", "0", "512", "1", "1"}, "USAGE"},
      {"fsync fraction -0.1", {"TARGET", "1", "0", "-0.1", "512", "1", "1"}, "USAGE"},
      {"write fraction nan", {"TARGET", "1", "nan", "0", "512", "1", "1"}, "USAGE"},
      {"fraction then blank", {"TARGET", "1", "0 ", "0", "512", "1", "1"}, "USAGE"},
      {"io_size 0", {"TARGET", "1", "0", "0", "0", "1", "1"}, "USAGE"},
      {"io_size octal 010", {"TARGET", "1", "0", "0", "010", "1", "1"}, "USAGE"},
      {"io_size -512", {"TARGET", "1", "0", "0", "-512", "1", "1"}, "USAGE"},
      {"interval 0", {"TARGET", "1", "0", "0", "512", "0", "1"}, "USAGE"},
      {"interval 2^32", {"TARGET", "1", "0", "0", "512", "4294967296", "1"}, "USAGE"},
      {"interval 2^32 + 1", {"TARGET", "1", "0", "0", "512", "4294967297", "1"}, "USAGE"},
      {"samples 2^32", {"TARGET", "1", "0", "0", "512", "1", "4294967296"}, "USAGE"},
      {"missing target",
       {missing, "1", "0", "0", "512", "1", "1"},
       "open: No such file or directory\n"},
      {"folder opened for writing",
       {folder, "1", "0.5", "0", "512", "1", "1"},
       "open: Is a directory\n"},
      {"target one byte short",
       {"TARGET", "1", "0", "0", "8192", "1", "1"},
       "file is smaller than io_size\n"},
      {"empty target", {empty, "1", "0", "0", "512", "1", "1"}, "file is smaller than io_size\n"},
  };
  for (const start_up_case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) {
      if (argument == "TARGET") argument = target;
    }
    const run_result result = run_iothrash(arguments);
    const std::string expected =
        c.expected_stderr == "USAGE" ? usage_message(iothrash_path()) : c.expected_stderr;
    EXPECT_EQ(result.err, expected) << c.name;
    EXPECT_EQ(result.exit_status, 1) << c.name;
    EXPECT_EQ(result.out, "") << c.name;
  }
}

TEST(CommandLine, UsageNamesTheProgramAsInvoked) {
  scratch_dir scratch;
  const std::string other_name = scratch.path + "/my-name";
  ASSERT_EQ(symlink(iothrash_path().c_str(), other_name.c_str()), 0);
  const run_result result = run_command({other_name, "x"});
  EXPECT_EQ(result.err, usage_message(other_name));
  EXPECT_EQ(result.exit_status, 1);
}

TEST(CommandLine, TargetExactlyOneIoSizeStartsAndBaseZeroArgumentsWork) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 4096);
  // 010 threads are 8, 0x1000 bytes are 4096, an empty seventh argument would
  // mean no limit, so one sample is asked for here.
  const run_result result = run_iothrash({target, "010", "", "", "0x1000", "1", "1"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(lines_of(result.out).size(), 4u) << result.out;
}

// The command that runs the rest of a command line as an ordinary user:
// nothing when we are not root, setpriv to nobody when we are (root may write
// anything and has no thread limit). No value when that cannot be done.
std::optional<std::vector<std::string>> as_ordinary_user() {
  if (!running_as_root()) return std::vector<std::string>{};
  if (!have_program("setpriv")) return std::nullopt;
  return std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

TEST(CommandLine, ReadOnlyTargetIsUsedOnlyWhenNothingWrites) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 65536);
  chmod(scratch.path.c_str(), 0755);
  chmod(target.c_str(), 0444);
  const std::optional<std::vector<std::string>> as_user = as_ordinary_user();
  if (!as_user) GTEST_SKIP() << "needs setpriv to drop root";
  const std::string program = program_for_other_users(scratch);
  ASSERT_NE(program, "");
  std::vector<std::string> writing = *as_user;
  writing.insert(writing.end(), {program, target, "1", "0.1", "0", "4096", "1", "1"});
  const run_result refused = run_command(writing);
  EXPECT_EQ(refused.err, "open: Permission denied\n");
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");

  std::vector<std::string> reading = *as_user;
  reading.insert(reading.end(), {program, target, "1", "0", "1", "4096", "1", "1"});
  const run_result used = run_command(reading);
  EXPECT_EQ(used.exit_status, 0) << used.err;
  EXPECT_EQ(lines_of(used.out).size(), 4u) << used.out;
}

TEST(CommandLine, ThreadCreationFailureIsReported) {
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 65536);
  // A thread limit far below the count asked for makes pthread_create fail
  // for real; prlimit sets it for the one run.
  if (!have_program("prlimit")) GTEST_SKIP() << "needs prlimit";
  const std::optional<std::vector<std::string>> as_user = as_ordinary_user();
  if (!as_user) GTEST_SKIP() << "needs setpriv to drop root";
  const std::string program = program_for_other_users(scratch);
  ASSERT_NE(program, "");
  std::vector<std::string> argv = *as_user;
  argv.insert(argv.end(),
              {"prlimit", "--nproc=20", program, target, "1000", "0", "0", "4096", "1", "1"});
  const run_result result = run_command(argv);
  EXPECT_EQ(result.err, "pthread_create: Resource temporarily unavailable\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
}

}  // namespace

namespace {

TEST(CommandLine, AllocationFailureIsReported) {
  if (!have_program("prlimit")) GTEST_SKIP() << "needs prlimit";
  scratch_dir scratch(direct_io_scratch_parent());
  const std::string target = scratch.make_file("target", 1ll << 30);
  // An address-space limit below one 1 GiB buffer makes the allocation fail
  // for real.
  const run_result result = run_command({"prlimit", "--as=400000000", iothrash_path(), target, "1",
                                         "0", "0", "1073741824", "1", "1"});
  EXPECT_EQ(result.err, "malloc: Cannot allocate memory\n");
  EXPECT_EQ(result.exit_status, 1);
  // Buffers are allocated by the threads, so the header may be out already;
  // no data line ever is.
  EXPECT_TRUE(result.out.empty() || lines_of(result.out).size() == 3) << result.out;
}

// The descriptor numbers of the calls that `trace` (strace -f, one file)
// shows on the target: its seek, its transfers and anything written to it.
std::vector<int> descriptors_used_on_target(const std::string& trace) {
  std::vector<int> descriptors;
  for (const std::string& line : lines_of(read_file(trace))) {
    const size_t name_at = line.find_first_not_of("0123456789 ");
    const size_t paren = line.find('(', name_at);
    if (name_at == std::string::npos || paren == std::string::npos) continue;
    const std::string name = line.substr(name_at, paren - name_at);
    for (const char* used : {"lseek", "pread64", "pwrite64", "read", "write", "fsync"}) {
      if (name == used) descriptors.push_back(atoi(line.c_str() + paren + 1));
    }
  }
  return descriptors;
}

// With a standard descriptor closed, the target must not take its number:
// the report or a message would then be written into the target.
TEST(CommandLine, ClosedStandardDescriptorsNeverReachTheTarget) {
  SKIP_UNLESS_PROGRAM("strace");
  scratch_dir scratch(direct_io_scratch_parent());
  struct {
    const char* name;
    const char* redirection;
    const char* io_size;
    std::string expected_stderr;
    int expected_status;
  } const cases[] = {
      // The report cannot be written, so the run ends with that report.
      {"stdout closed", ">&-", "4096", "stdout: Bad file descriptor\n", 1},
      // The failure message has nowhere to go, but must not go into the target.
      {"stderr closed", "2>&-", "131072", "", 1},
      {"stdin closed", "<&-", "4096", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = scratch.make_file(c.name, 65536);
    const std::string trace = scratch.path + "/" + c.name + ".trace";
    const run_result result = run_command({"strace",
                                           "-f",
                                           "-qq",
                                           "-e",
                                           "signal=none",
                                           "-o",
                                           trace,
                                           "-P",
                                           target,
                                           "/bin/sh",
                                           "-c",
                                           std::string("exec \"$0\" \"$@\" ") + c.redirection,
                                           iothrash_path(),
                                           target,
                                           "1",
                                           "0.5",
                                           "0",
                                           c.io_size,
                                           "1",
                                           "1"});
    EXPECT_EQ(result.err, c.expected_stderr);
    EXPECT_EQ(result.exit_status, c.expected_status);
    const std::vector<int> descriptors = descriptors_used_on_target(trace);
    EXPECT_FALSE(descriptors.empty()) << "the trace shows no call on the target";
    for (int fd : descriptors) EXPECT_GT(fd, 2) << "the target used a standard descriptor";
  }
}

// The same where /dev/null cannot be opened, as in a chroot or a container
// without it: an empty /dev in a mount namespace of the run's own.
TEST(CommandLine, ClosedStandardDescriptorsNeverReachTheTargetWithoutDevNull) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PROGRAM("unshare");
  scratch_dir scratch;  // ext4 under /tmp: outside /dev, and it takes direct I/O
  struct {
    const char* name;
    const char* redirection;
    const char* io_size;
    std::string expected_stderr;
    std::string never_in_target;
  } const cases[] = {
      {"stdout closed", ">&-", "4096", "stdout: Bad file descriptor\n", "latency (ms)"},
      {"stderr closed", "2>&-", "131072", "", "file is smaller"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = scratch.make_file(c.name, 65536);
    const run_result result = run_command(
        {"unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
         std::string("mount -t tmpfs empty /dev && test ! -e /dev/null && exec \"$0\" \"$@\" ") +
             c.redirection,
         iothrash_path(), target, "1", "0.5", "0", c.io_size, "1", "1"});
    EXPECT_EQ(result.err, c.expected_stderr);
    EXPECT_EQ(result.exit_status, 1);
    const std::string after = read_file(target);
    EXPECT_EQ(after.size(), 65536u);
    EXPECT_EQ(after.find(c.never_in_target), std::string::npos) << "written into the target";
  }
}

}  // namespace
