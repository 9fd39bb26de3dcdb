#include "core/store/folder_lock.h"

#include "core/fs/directory_handle.h"
#include "core/fs/file_ops.h"
#include "core/fs/lock_file.h"
#include "core/records/redomark_error.h"

namespace redomark {

void withFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body) {
  store.ensureRoot();
  const std::string directoryPath = store.folderDirectory(folder);
  createDirectories(directoryPath, 0700);

  // The directory is opened without following a link so that a planted one
  // cannot put the lock file outside the store.
  const auto directory = DirectoryHandle::open(directoryPath);
  std::optional<LockFile> lock = directory ? LockFile::open(*directory, ".lock") : std::nullopt;
  if (!lock) throw RedomarkError::io("Couldn't open the lock for " + folder + ".");
  if (!lock->tryLockExclusive()) throw RedomarkError::busy(folder);

  try {
    body();
  } catch (...) {
    // Still under the lock, so no other operation can be filling the directory.
    removeIfOnlyLock(directoryPath);
    lock->unlock();
    throw;
  }
  lock->unlock();
}

}  // namespace redomark
