// Opening and sizing the target and starting the thrashers.
//
// Thread safety: main thread only, before any thrasher exists.
#pragma once

#include <fcntl.h>

// The open flags for a run: direct I/O, read-only unless it writes. A run
// that writes claims a block device for itself: on Linux, O_EXCL on a block
// device fails with EBUSY while a file system on it or on one of its
// partitions is mounted, or LVM, md or device-mapper holds it, so a live file
// system is never written under the kernel. FreeBSD needs nothing here: GEOM
// refuses to open a mounted provider for writing (and its disks are character
// devices, where O_EXCL without O_CREAT means nothing).
inline int open_flags_for(double write_fraction_of_io, bool target_is_block_device) {
  int flags = O_DIRECT | (write_fraction_of_io > 0 ? O_RDWR : O_RDONLY);
#ifdef __linux__
  if (write_fraction_of_io > 0 && target_is_block_device) flags |= O_EXCL;
#else
  (void)target_is_block_device;
#endif
  return flags;
}

// Opens and sizes config.filename into config.fd and config.file_size, empties
// the statistics, arms the start barrier and creates config.nr_threads
// thrashers. Any failure ends the process with its report and status 1.
void start_run();
