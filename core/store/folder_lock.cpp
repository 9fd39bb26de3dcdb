#include "core/store/folder_lock.h"

#include "core/fs/directory_handle.h"
#include "core/fs/lock_file.h"
#include "core/records/redomark_error.h"

namespace redomark {

void withFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body) {
  const DirectoryHandle root = store.ensureRoot();
  const DirectoryHandle directory = store.ensureFolderDirectory(root, folder);
  std::optional<LockFile> lock = LockFile::open(directory, ".lock");
  if (!lock) throw RedomarkError::io("Couldn't open the lock for " + folder + ".");
  if (!lock->tryLockExclusive()) throw RedomarkError::busy(folder);

  try {
    body();
  } catch (...) {
    // Still under the lock, so no other operation can be filling the directory.
    store.removeFolderDirectoryIfOnlyLock(folder);
    lock->unlock();
    throw;
  }
  lock->unlock();
}

}  // namespace redomark
