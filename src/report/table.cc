#include "report/table.h"

#include <stdio.h>

int format_report_line(char* line, int line_capacity, double total_rate,
                       const interval_summary& reads, const interval_summary& writes) {
  int length =
      snprintf(line, static_cast<size_t>(line_capacity),
               "%7.1f |%7.1f %5.1f %6.1f %6.1f %6.1f |%7.1f %5.1f %6.1f %6.1f %6.1f\n", total_rate,
               reads.rate, reads.min_ms, reads.avg_ms, reads.max_ms, reads.sdev_ms, writes.rate,
               writes.min_ms, writes.avg_ms, writes.max_ms, writes.sdev_ms);
  if (length >= line_capacity) length = line_capacity - 1;
  return length;
}
