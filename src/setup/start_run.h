// Opening and sizing the target and starting the thrashers.
//
// Thread safety: main thread only, before any thrasher exists.
#pragma once

#include <fcntl.h>

// The open flags for a run: direct I/O, read-only unless it writes.
inline int open_flags_for(double write_fraction_of_io) {
  return O_DIRECT | (write_fraction_of_io > 0 ? O_RDWR : O_RDONLY);
}

// Opens and sizes config.filename into config.fd and config.file_size, empties
// the statistics, arms the start barrier and creates config.nr_threads
// thrashers. Any failure ends the process with its report and status 1.
void start_run();
