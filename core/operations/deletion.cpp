#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "core/store/fs_failure.h"
#include "core/store/folder_lock.h"

namespace redomark {

void Redomark::deleteCheckpoints(const std::vector<Checkpoint>& checkpoints,
                                 const std::function<void(const Checkpoint&)>& deleted) const try {
  if (checkpoints.empty()) return;
  const std::string& folder = checkpoints.front().sourcePath;
  const CheckpointStore store = storeFor(folder);
  withFolderLock(store, folder, [&] {
    store.removeLeftovers(folder);
    for (const Checkpoint& c : checkpoints) {
      // Gone since it was resolved: another process deleted or pruned it.
      if (!store.contains(c)) throw RedomarkError::checkpointNotFound(c.id);
      store.deleteCheckpoint(c);
      if (deleted) deleted(c);
    }
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

void Redomark::deleteCheckpoint(const Checkpoint& checkpoint) const { deleteCheckpoints({checkpoint}, {}); }

}  // namespace redomark
