// The disk space that the regular files below a directory use alone: the sum
// of their unshared extents, a file with several names counted once. Directories are shared among a few threads, each
// file mapped through its own directory's descriptor. Safe to call from any
// thread; each call has its own threads and joins them before returning.
#pragma once

#include <cstdint>
#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/file_records.h"

namespace redomark {

// Links are not followed; a file that cannot be opened or mapped adds 0; a
// directory that cannot be read, or an entry without a status, ends the sum
// with what a walk in listing order counted before it, the same every time.
// With the sum, a tally of the items it met on the way (the directories' own
// blocks among them), for their records' space.
struct SpaceBelow {
  int64_t privateBytes = 0;
  ItemTally items;
};
SpaceBelow spaceBelow(const DirectoryHandle& root);

}  // namespace redomark
