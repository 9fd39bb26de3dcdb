#include "core/fs/private_space.h"

#include <optional>
#include <unordered_set>

#include "core/fs/directory_handle.h"
#include "core/fs/volume.h"
#include "core/fs/walker.h"
#include "core/records/redomark_error.h"

namespace redomark {

// One walk over held descriptors; each file's private bytes are asked of the
// walk's root with no link followed anywhere on the relative path
// (FSOPT_NOFOLLOW_ANY), so a link planted meanwhile is never measured through.
int64_t privateSpaceBelow(const std::string& root) {
  const std::optional<DirectoryHandle> top = DirectoryHandle::open(root);
  if (!top) return 0;
  int64_t total = 0;
  std::unordered_set<uint64_t> counted;  // inodes with several names, counted once
  try {
    walk(*top, nullptr, [&](const WalkEntry& e) {
      if (e.kind != EntryKind::file) return;
      const std::optional<FileSpace> space = fileSpaceAt(top->fd(), e.path.c_str());
      if (!space || space->privateBytes == 0) return;
      if (space->linked && !counted.insert(space->inode).second) return;
      total += space->privateBytes;
    });
  } catch (const RedomarkError&) {
    // An unreadable directory ends the sum with what was counted before it.
  }
  return total;
}

}  // namespace redomark
