#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>  // makedev; FreeBSD declares it in <sys/types.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "common/now_seconds.h"

#ifdef IOTHRASH_HAVE_LIBPNG
#include <png.h>
#endif

extern char** environ;

namespace {

// Reads what is there without blocking; returns false at end of file.
bool drain(int fd, std::string* into) {
  char chunk[65536];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      into->append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return false;
    return errno == EAGAIN || errno == EINTR;
  }
}

long count_newlines(const std::string& text) {
  return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int run_shell_quietly(const std::string& command, std::string* output = nullptr) {
  run_result result = run_command({"/bin/sh", "-c", command});
  if (output != nullptr) *output = result.out + result.err;
  return result.exit_status;
}

}  // namespace

std::string iothrash_path() {
  return IOTHRASH_PATH;
}

run_result run_command(const std::vector<std::string>& argv, const run_options& options) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  const bool out_to_pipe = options.stdout_path.empty() && options.stdout_fd < 0;
  if (out_to_pipe && pipe(out_pipe) != 0) abort();
  if (pipe(err_pipe) != 0) abort();

  std::vector<std::string> environment_entries;
  // An extra entry replaces the inherited one of its name: getenv() and
  // execvp() would find the first of two.
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string inherited = *entry;
    const size_t equals = inherited.find('=');
    const std::string name = inherited.substr(0, equals + 1);
    bool replaced = false;
    for (const std::string& extra : options.environment) {
      replaced |= equals != std::string::npos && extra.starts_with(name);
    }
    if (!replaced) environment_entries.push_back(inherited);
  }
  for (const std::string& extra : options.environment) environment_entries.push_back(extra);
  std::vector<char*> envp;
  for (std::string& entry : environment_entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  std::vector<char*> child_argv;
  for (std::string& argument : argv_copy) child_argv.push_back(argument.data());
  child_argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    setpgid(0, 0);  // so a timeout can kill everything it started
    // A job started in the background by a script inherits SIGINT ignored,
    // and ignored signals stay ignored across exec; a user's shell gives the
    // program the defaults, so the tests do too.
    for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) signal(signal_number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    if (out_to_pipe) {
      dup2(out_pipe[1], STDOUT_FILENO);
    } else if (options.stdout_fd >= 0) {
      dup2(options.stdout_fd, STDOUT_FILENO);
    } else {
      int out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) _exit(127);
      dup2(out, STDOUT_FILENO);
    }
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    // execvp() searches PATH and passes on `environ`; execvpe(), which takes
    // the environment as an argument, is a GNU extension.
    environ = envp.data();
    execvp(child_argv[0], child_argv.data());
    _exit(127);
  }

  if (out_to_pipe) close(out_pipe[1]);
  close(err_pipe[1]);
  if (out_to_pipe) fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);

  run_result result;
  const double deadline = now_seconds() + options.timeout_seconds;
  bool out_open = out_to_pipe;
  bool err_open = true;
  bool stop_sent = false;
  bool exited = false;
  int wait_status = 0;
  double reaped_at = 0;
  for (;;) {
    pollfd fds[2];
    int nr_fds = 0;
    if (out_open) fds[nr_fds++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[nr_fds++] = {err_pipe[0], POLLIN, 0};
    poll(fds, static_cast<nfds_t>(nr_fds), 20);
    if (out_open) out_open = drain(out_pipe[0], &result.out);
    if (err_open) err_open = drain(err_pipe[0], &result.err);

    if (!exited && options.stop_after_lines > 0 && !stop_sent) {
      const long nr_lines =
          out_to_pipe ? count_newlines(result.out) : count_newlines(read_file(options.stdout_path));
      if (nr_lines >= options.stop_after_lines) {
        kill(pid, options.stop_signal);
        stop_sent = true;
      }
    }
    if (!exited && waitpid(pid, &wait_status, WNOHANG) == pid) {
      exited = true;
      reaped_at = now_seconds();
    }
    // Whatever the program left running still holds the pipes; give it a
    // moment, not for ever.
    if (exited && ((!out_open && !err_open) || now_seconds() > reaped_at + 2)) break;
    if (!exited && now_seconds() > deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      result.timed_out = true;
      waitpid(pid, &wait_status, 0);
      exited = true;
      reaped_at = now_seconds();
    }
  }
  kill(-pid, SIGKILL);  // anything of its group still alive
  if (out_to_pipe) close(out_pipe[0]);
  close(err_pipe[0]);
  if (WIFEXITED(wait_status)) result.exit_status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  return result;
}

run_result run_iothrash(const std::vector<std::string>& arguments, const run_options& options) {
  std::vector<std::string> argv = {iothrash_path()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_command(argv, options);
}

std::optional<report_line> parse_data_line(const std::string& line) {
  static const std::regex pattern = [] {
    const std::string n = R"((-?[0-9]+\.[0-9]|inf|-?nan))";
    const std::string half = " *" + n + " +" + n + " +" + n + " +" + n + " +" + n;
    return std::regex("^ *" + n + " \\|" + half + " \\|" + half + "$");
  }();
  std::smatch match;
  if (!std::regex_match(line, match, pattern)) return std::nullopt;
  report_line figures;
  for (size_t i = 0; i < figures.size(); ++i)
    figures[i] = strtod(match[i + 1].str().c_str(), nullptr);
  // Printing the figures again must give the very same text: that pins every
  // width and separator, not just the order of the fields.
  char again[512];
  snprintf(again, sizeof again,
           "%7.1f |%7.1f %5.1f %6.1f %6.1f %6.1f |%7.1f %5.1f %6.1f %6.1f %6.1f", figures[0],
           figures[1], figures[2], figures[3], figures[4], figures[5], figures[6], figures[7],
           figures[8], figures[9], figures[10]);
  if (line != again) return std::nullopt;
  return figures;
}

std::string usage_message(const std::string& program_name) {
  return "usage: " + program_name +
         " filename nr_threads write_fraction_of_io fsync_fraction_of_writes io_size "
         "nr_seconds_between_samples [nr_samples]\n"
         "io_size must be a positive multiple of 512 bytes\n";
}

std::string source_path(const std::string& relative_path) {
  return std::string(IOTHRASH_SOURCE_DIR) + "/" + relative_path;
}

std::string plot_script_path() {
  return source_path("scripts/iothrash-plot");
}

bool can_decode_png() {
#ifdef IOTHRASH_HAVE_LIBPNG
  return true;
#else
  return false;
#endif
}

png_picture read_png(const std::string& path) {
  png_picture picture;
#ifdef IOTHRASH_HAVE_LIBPNG
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
    picture.error = image.message;
    return picture;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) {
    picture.error = image.message;
    return picture;
  }
  picture.width = image.width;
  picture.height = image.height;
  for (size_t at = 0; at + 2 < rgb.size(); at += 3) {
    picture.pixels.push_back(static_cast<uint32_t>(rgb[at]) << 16 |
                             static_cast<uint32_t>(rgb[at + 1]) << 8 | rgb[at + 2]);
  }
#else
  picture.error = "built without libpng: cannot decode " + path;
#endif
  return picture;
}

bool have_program(const std::string& name) {
  return run_shell_quietly("command -v " + shell_quote(name) + " >/dev/null 2>&1") == 0;
}

bool running_as_root() {
  return geteuid() == 0;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

std::string trimmed(const std::string& text) {
  const size_t end = text.find_last_not_of(" \n");
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

scratch_dir::scratch_dir(const char* parent) {
  std::string pattern = std::string(parent) + "/iothrash-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path = pattern;
}

// --one-file-system: should a mount below still be there, never empty it.
// Tried again a little later: a traced run's last files can still be coming
// in while the tracer winds down after a failure.
scratch_dir::~scratch_dir() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (run_shell_quietly("rm -rf --one-file-system " + shell_quote(path)) == 0 &&
        access(path.c_str(), F_OK) != 0) {
      return;
    }
    usleep(200000);
  }
  ADD_FAILURE() << "could not remove " << path;
}

const char* direct_io_scratch_parent() {
  static const char* const parent = [] {
    char probe[] = "/dev/shm/iothrash-probe-XXXXXX";
    const int fd = mkstemp(probe);
    if (fd < 0) return "/var/tmp";
    close(fd);
    const int direct_fd = open(probe, O_RDWR | O_DIRECT);
    unlink(probe);
    if (direct_fd < 0) return "/var/tmp";
    close(direct_fd);
    return "/dev/shm";
  }();
  return parent;
}

bool write_file(const std::string& path, const std::string& contents) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  file.close();
  return !file.fail();
}

std::string record_report(const scratch_dir& scratch, const std::vector<std::string>& load,
                          const std::string& program) {
  static int nr_targets = 0;
  const std::string target =
      scratch.make_file("report-target-" + std::to_string(++nr_targets), 8 << 20);
  std::vector<std::string> argv = {program, target};
  argv.insert(argv.end(), load.begin(), load.end());
  const run_result result = run_command(argv);
  EXPECT_EQ(result.exit_status, 0) << program << ": " << result.err;
  EXPECT_EQ(result.err, "") << program;
  return result.out;
}

bool make_sparse_file(const std::string& path, long long size_bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool sized = ftruncate(fd, size_bytes) == 0;
  close(fd);
  return sized;
}

std::string scratch_dir::make_file(const std::string& name, long long size_bytes) const {
  const std::string file = path + "/" + name;
  if (!make_sparse_file(file, size_bytes)) abort();
  return file;
}

loop_device::loop_device(const std::string& backing_file, bool scan_partitions) {
  std::string output;
  const std::string command = std::string("losetup --find --show ") +
                              (scan_partitions ? "--partscan " : "") + shell_quote(backing_file);
  if (run_shell_quietly(command, &output) == 0) path = output.substr(0, output.find('\n'));
}

loop_device::~loop_device() {
  if (!path.empty() && run_shell_quietly("losetup -d " + shell_quote(path)) != 0) {
    ADD_FAILURE() << "could not detach " << path;
  }
}

std::string partition_node(const loop_device& device, int number, const std::string& folder) {
  const std::string name = device.path.substr(device.path.rfind('/') + 1);
  const std::string numbers_file =
      "/sys/class/block/" + name + "/" + name + "p" + std::to_string(number) + "/dev";
  // The kernel does not always read the table when the device is attached;
  // partx asks it to (and fails, harmlessly, when it already has).
  std::string numbers = read_file(numbers_file);
  if (numbers.empty()) run_shell_quietly("partx -a " + shell_quote(device.path));
  for (int attempt = 0; attempt < 50 && numbers.empty(); ++attempt) {
    usleep(100000);
    numbers = read_file(numbers_file);
  }
  unsigned major_number = 0, minor_number = 0;
  if (sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) != 2) return "";
  const std::string node = folder + "/" + name + "p" + std::to_string(number);
  if (mknod(node.c_str(), S_IFBLK | 0600, makedev(major_number, minor_number)) != 0) return "";
  return node;
}

namespace {

// mkfs.ext4 on `device`, then mount it on `point`: "" or what went wrong.
std::string make_and_mount_ext4(const std::string& device, const std::string& point) {
  std::string output;
  mkdir(point.c_str(), 0755);
  if (run_shell_quietly(
          "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + shell_quote(device),
          &output) != 0) {
    return "mkfs.ext4: " + output;
  }
  if (run_shell_quietly("mount " + shell_quote(device) + " " + shell_quote(point), &output) != 0) {
    return "mount: " + output;
  }
  return "";
}

}  // namespace

mounted_ext4::mounted_ext4(const scratch_dir& where, long long image_bytes) {
  error = make_and_mount_ext4(where.make_file("ext4.img", image_bytes), where.path + "/mnt");
  if (error.empty()) mount_point = where.path + "/mnt";
}

mounted_ext4::mounted_ext4(const std::string& device, const std::string& point) {
  error = make_and_mount_ext4(device, point);
  if (error.empty()) mount_point = point;
}

bool mounted_ext4::unmount() {
  if (mount_point.empty()) return true;
  if (run_shell_quietly("umount " + shell_quote(mount_point)) == 0) {
    mount_point.clear();
    return true;
  }
  // Something still holds it: detach it now, let the kernel finish later.
  run_shell_quietly("umount -l " + shell_quote(mount_point));
  ADD_FAILURE() << "had to unmount " << mount_point << " lazily: something still held it";
  mount_point.clear();
  return false;
}

mounted_ext4::~mounted_ext4() {
  unmount();
}

std::string program_for_other_users(const scratch_dir& scratch) {
  const std::string copy = scratch.path + "/iothrash";
  chmod(scratch.path.c_str(), 0755);
  std::error_code error;
  std::filesystem::copy_file(iothrash_path(), copy,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error || chmod(copy.c_str(), 0755) != 0) return "";
  return copy;
}
