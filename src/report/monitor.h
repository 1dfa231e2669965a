// The main thread's sampling loop.
//
// Thread safety: runs on the main thread only, after every thrasher exists.
#pragma once

#include "setup/run_config.h"

// Prints one report line every nr_seconds_between_samples seconds and ends the
// process with status 0 after nr_samples lines (never when that is 0), or with
// status 1 and the "stdout" report when the report cannot be written.
[[noreturn]] void run_monitor(const run_config& run);
