#include "report/monitor.h"

#include <errno.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/failure.h"
#include "common/now_seconds.h"
#include "load/interval_stats.h"
#include "report/paging.h"
#include "report/table.h"

namespace {

int query_page_rows() {
  winsize size;
  const bool height_known = isatty(STDIN_FILENO) && ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0;
  return page_rows_for(height_known, height_known ? size.ws_row : 0);
}

// Each finished piece of the report goes out at once, whatever standard
// output is: a reader on a pipe or a killed run never loses a finished line.
void write_report(const char* text, size_t length) {
  if (fwrite(text, 1, length, stdout) != length || fflush(stdout) != 0) {
    fail_with_error("stdout", errno);
  }
}

}  // namespace

void run_monitor(const run_config& run) {
  const int page_rows = query_page_rows();
  double t_prev = now_seconds();
  int line_in_page = 0;
  uint32_t nr_lines_printed = 0;
  char line[4096];  // room for eleven fields of the widest double
  for (;;) {
    if (line_in_page == 0) write_report(kReportHeader, sizeof kReportHeader - 1);
    sleep(run.nr_seconds_between_samples);
    const interval_copies taken = take_and_reset();
    const double t_now = now_seconds();
    const double elapsed_seconds = t_now - t_prev;
    const double total_rate =
        static_cast<double>(taken.reads.count + taken.writes.count) / elapsed_seconds;
    const int length =
        format_report_line(line, sizeof line, total_rate, summarise(taken.reads, elapsed_seconds),
                           summarise(taken.writes, elapsed_seconds));
    line_in_page = next_line_in_page(line_in_page, page_rows);
    write_report(line, static_cast<size_t>(length));
    t_prev = t_now;
    nr_lines_printed += 1;
    if (run.nr_samples != 0 && nr_lines_printed == run.nr_samples) end_process(0);
  }
}
