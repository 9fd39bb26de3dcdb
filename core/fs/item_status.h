// What one directory entry is, read without following a final symbolic link:
// enough to tell whether a saved item and the current one are the same file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/records/checkpoint.h"

namespace redomark {

struct ItemStatus {
  EntryKind kind = EntryKind::other;
  int64_t size = 0;  // bytes for a regular file, 0 for every other kind
  int64_t mtimeNs = 0;
};

// The entry's facts, or nothing when nothing is there (or it cannot be examined).
std::optional<ItemStatus> itemStatus(const std::string& path);

}  // namespace redomark
