// The report table: its header and its data lines, as text.
//
// Thread safety: pure functions over caller-owned buffers.
#pragma once

#include "load/interval_stats.h"

// The three header lines, each ending in a newline.
inline constexpr char kReportHeader[] =
    "  total |  read:         latency (ms)       |  write:        latency (ms)\n"
    "   iops |   iops   min    avg    max   sdev |   iops   min    avg    max   sdev\n"
    "--------+-----------------------------------+----------------------------------\n";

// Formats one data line, newline included, into `line`; returns its length
// (NUL-terminated, cut to fit `line_capacity`).
int format_report_line(char* line, int line_capacity, double total_rate,
                       const interval_summary& reads, const interval_summary& writes);
