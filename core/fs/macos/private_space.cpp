#include "core/fs/private_space.h"

#include <optional>
#include <unordered_set>

#include "core/fs/directory_handle.h"
#include "core/fs/fs_error.h"
#include "core/fs/volume.h"
#include "core/fs/walker.h"

namespace redomark {

// One walk over held descriptors; each file's private bytes are asked of the
// walk's root with no link followed anywhere on the relative path
// (FSOPT_NOFOLLOW_ANY), so a link planted meanwhile is never measured through.
SpaceBelow spaceBelow(const DirectoryHandle& root) {
  SpaceBelow space;
  std::unordered_set<uint64_t> counted;  // inodes with several names, counted once
  try {
    walk(root, nullptr, [&](const WalkEntry& e) {
      ++space.items.items;
      space.items.nameBytes += static_cast<int64_t>(e.path.size() - e.path.rfind('/') - 1);
      if (e.kind != EntryKind::file) return;
      const std::optional<FileSpace> file = fileSpaceAt(root.fd(), e.path.c_str());
      if (!file || file->privateBytes == 0) return;
      if (file->linked && !counted.insert(file->inode).second) return;
      space.privateBytes += file->privateBytes;
    });
  } catch (const FsError&) {
    // An unreadable or changed directory ends the sum with what was counted
    // before it, as it does on Linux.
  }
  return space;
}

int64_t privateSpaceBelow(const std::string& root) {
  const FsResult<DirectoryHandle> top = DirectoryHandle::open(root);
  return top ? spaceBelow(*top).privateBytes : 0;
}

}  // namespace redomark
