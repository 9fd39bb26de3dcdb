#include "core/store/folder_lock.h"

#include <cerrno>

#include "core/fs/directory_handle.h"
#include "core/fs/lock_file.h"
#include "core/records/redomark_error.h"

namespace redomark {

namespace {

constexpr const char* lockName = ".lock";
// The folder's store directory goes, lock file and all, once its last
// checkpoint does; a process that opened the old lock file just before then
// starts again. More rounds than that mean someone keeps removing it.
constexpr int lockAttempts = 64;

// The folder's lock, held; nothing when another holds it.
std::optional<LockFile> takeLock(const CheckpointStore& store, const std::string& folder) {
  for (int attempt = 0; attempt < lockAttempts; ++attempt) {
    const DirectoryHandle root = store.ensureRoot();
    const DirectoryHandle directory = store.ensureFolderDirectory(root, folder);
    FsResult<LockFile> opened = LockFile::open(directory, lockName);
    if (!opened) {
      // The directory was removed between its opening and the lock's.
      if (opened.code() == ENOENT) continue;
      throw RedomarkError::io("Couldn't open the lock for " + folder + ".");
    }
    std::optional<LockFile> lock = std::move(opened).orNothing();
    if (!lock->tryLockExclusive()) return std::nullopt;
    const FsResult<ItemStatus> current = root.status(folderKey(folder));
    if (current && current->sameItem(directory.ownStatus()) && lock->isEntry(directory, lockName)) return lock;
    lock->unlock();
  }
  return std::nullopt;
}

}  // namespace

bool tryWithFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body) {
  std::optional<LockFile> lock = takeLock(store, folder);
  if (!lock) return false;
  try {
    body();
  } catch (...) {
    // Still under the lock, so no other operation can be filling the directory.
    store.removeFolderDirectoryIfOnlyLock(folder);
    lock->unlock();
    throw;
  }
  lock->unlock();
  return true;
}

void withFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body) {
  if (!tryWithFolderLock(store, folder, body)) throw RedomarkError::busy(folder);
}

}  // namespace redomark
