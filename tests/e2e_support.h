// Running the built iothrash as a user would, for the end-to-end tests.
//
// Thread safety: run_command() and run_iothrash() may run in several threads
// at once (each child closes every descriptor it did not ask for before it
// execs); everything else is for the test's own thread.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>  // SIGINT, the default stop signal
#include <stdint.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

// The program under test, as built.
std::string iothrash_path();

// What a finished (or stopped) run left behind.
struct run_result {
  int exit_status = -1;    // -1 when ended by a signal
  int signal = 0;          // the ending signal, 0 when it exited
  bool timed_out = false;  // killed with SIGKILL after the timeout
  std::string out;         // standard output (empty when it went to a file)
  std::string err;         // standard error
};

struct run_options {
  // Standard input: /dev/null unless a descriptor is given (it is dup'ed).
  int stdin_fd = -1;
  // Standard output: a pipe read into run_result::out, or this file when set
  // (a path such as /dev/full or a scratch file).
  std::string stdout_path;
  // Standard output to this descriptor instead (a terminal, say); -1: unused.
  int stdout_fd = -1;
  // SIGKILL after this long; the result says timed_out.
  double timeout_seconds = 30;
  // When > 0: send `stop_signal` once standard output (the pipe) or the file
  // at stdout_path holds this many newlines.
  int stop_after_lines = 0;
  int stop_signal = SIGINT;
  // Extra environment entries, "NAME=value", each replacing any inherited
  // entry of its name.
  std::vector<std::string> environment;
};

// Runs `argv` (argv[0] is the program to exec, looked up in PATH) and waits.
run_result run_command(const std::vector<std::string>& argv, const run_options& options = {});

// Runs iothrash with `arguments` after its name.
run_result run_iothrash(const std::vector<std::string>& arguments, const run_options& options = {});

// One data line's eleven figures: total iops, then rate, min, avg, max and
// sdev of the reads (1..5) and of the writes (6..10).
using report_line = std::array<double, 11>;
constexpr int kReads = 1;
constexpr int kWrites = 6;
// Added to kReads or kWrites: the figures of one half of a line.
constexpr int kRate = 0, kMinMs = 1, kAvgMs = 2, kMaxMs = 3, kSdevMs = 4;

// The figures of `line` when it is exactly what the line format prints for
// them; nothing otherwise (a header, a cut line, a wrong width, a stray
// character).
std::optional<report_line> parse_data_line(const std::string& line);

// The usage message as iothrash prints it for `program_name`.
std::string usage_message(const std::string& program_name);

// A file of the source tree, by its path below the top folder.
std::string source_path(const std::string& relative_path);

// The plot script as it stands in the source tree.
std::string plot_script_path();

// A PNG file as libpng decodes it.
struct png_picture {
  std::string error;  // why it could not be decoded; empty when it was
  unsigned width = 0;
  unsigned height = 0;
  std::vector<uint32_t> pixels;  // row by row, 0xRRGGBB (alpha dropped)
};

// False when the tests were built without libpng (Debian: libpng-dev).
bool can_decode_png();
png_picture read_png(const std::string& path);

// True when `name` is an executable in PATH.
bool have_program(const std::string& name);
bool running_as_root();

// Splits text into lines without their newlines (a last partial line kept).
std::vector<std::string> lines_of(const std::string& text);

// `text` without the blanks and newlines at its end, as a command's one
// line of output.
std::string trimmed(const std::string& text);

// Reads a whole file; empty when it cannot.
std::string read_file(const std::string& path);

// Creates or replaces `path` (and the folders above it) with `contents`;
// false when it cannot.
bool write_file(const std::string& path, const std::string& contents);

// Creates or empties `path` and sizes it to `size_bytes` without writing
// (sparse); false when either fails.
bool make_sparse_file(const std::string& path, long long size_bytes);

// A scratch folder, removed with everything in it when the test ends.
struct scratch_dir {
  explicit scratch_dir(const char* parent = "/tmp");
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  // A file of `size_bytes` under the folder (sparse), returning its path.
  std::string make_file(const std::string& name, long long size_bytes) const;
  std::string path;
};

// The standard output of a real run that exits by itself: `program` (a path,
// or a name looked up in PATH) on a fresh 8 MiB sparse target in `scratch`
// with `load` (nr_threads to nr_samples) after it. The run is expected to
// succeed quietly.
std::string record_report(const scratch_dir& scratch, const std::vector<std::string>& load,
                          const std::string& program = iothrash_path());

// A folder for scratch targets that takes direct I/O: /dev/shm when its
// tmpfs does (fast), else /var/tmp.
const char* direct_io_scratch_parent();

// A loop block device over a file, detached when the test ends. With
// `scan_partitions`, the kernel reads the file's partition table and makes a
// block device of each partition (named by partition_node()).
struct loop_device {
  explicit loop_device(const std::string& backing_file, bool scan_partitions = false);
  ~loop_device();
  loop_device(const loop_device&) = delete;
  loop_device& operator=(const loop_device&) = delete;
  std::string path;  // empty when it could not be attached
};

// A device node in `folder` for partition `number` of `device`, made from the
// numbers the kernel gives it (no udev needed); empty when it has none.
std::string partition_node(const loop_device& device, int number, const std::string& folder);

// A new ext4 file system, mounted; unmounted when the test ends. Made with
// every inode table and the journal written at once, so that nothing writes
// to it in the background once it is mounted.
struct mounted_ext4 {
  // An image of `image_bytes` in `where`, mounted -o loop on where/mnt.
  mounted_ext4(const scratch_dir& where, long long image_bytes);
  // Made on `device` (a block device), mounted on `mount_point` (created).
  mounted_ext4(const std::string& device, const std::string& mount_point);
  ~mounted_ext4();
  mounted_ext4(const mounted_ext4&) = delete;
  mounted_ext4& operator=(const mounted_ext4&) = delete;
  // Unmounts it now; false (and a test failure) when it cannot.
  bool unmount();
  std::string mount_point;  // empty when it could not be mounted, or is unmounted
  std::string error;        // why not
};

// A copy of the program that any user can run, in `scratch` (made searchable
// for all): the checkout it was built in may sit in a folder only its owner
// can enter, such as /root or one made by mktemp -d.
std::string program_for_other_users(const scratch_dir& scratch);

// Skips the test unless it runs as root.
#define SKIP_UNLESS_ROOT()                                \
  do {                                                    \
    if (!running_as_root()) GTEST_SKIP() << "needs root"; \
  } while (0)

// Skips the test unless the tests can decode a PNG.
#define SKIP_UNLESS_PNG_DECODER()                                                        \
  do {                                                                                   \
    if (!can_decode_png()) GTEST_SKIP() << "needs libpng (Debian: libpng-dev) at build"; \
  } while (0)

// Skips the test unless `program` is in PATH.
#define SKIP_UNLESS_PROGRAM(program)                                         \
  do {                                                                       \
    if (!have_program(program)) GTEST_SKIP() << "needs " program " in PATH"; \
  } while (0)
