// The two calls a walk makes per directory and per item, kept apart from the
// walk itself because each platform answers them its own way: listing an open
// directory's names, and examining one entry without following a link.
// Both are safe to call from several threads on one directory descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/records/checkpoint.h"

namespace redomark {

struct EntryFacts {
  EntryKind kind = EntryKind::other;
  int64_t size = 0;  // bytes for a regular file, 0 otherwise
  int64_t mtimeNs = 0;
  uint64_t dev = 0;
  uint64_t inode = 0;
  bool mountRoot = false;  // another mount starts here, a bind mount of the same volume too
  uint32_t flags = 0;      // the file flags where the platform has them (macOS's st_flags), else 0
};

// The facts of the entry name of the open directory directoryFd, a final link
// not followed: 0, or the errno of the failed call.
int examineEntry(int directoryFd, const char* name, EntryFacts& facts);

// Hands every name of the open directory directoryFd, read from its start and
// without "." and "..", to each; buffer is the caller's, reused between calls.
// 0, or the errno of the failed listing.
int readEntryNames(int directoryFd, std::vector<char>& buffer, const std::function<void(const char* name)>& each);

}  // namespace redomark
