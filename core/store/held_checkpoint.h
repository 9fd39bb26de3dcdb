// A checkpoint held open for a reader that takes no folder lock (show, diff):
// its directory and saved tree are reached once, from a private store root,
// and everything is read through them. A deletion withdraws a checkpoint by
// renaming it before it removes anything, so whatever was read while the
// checkpoint still stood under its id was whole.
#pragma once

#include <string>

#include "core/fs/directory_handle.h"
#include "core/records/checkpoint.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

class HeldCheckpoint {
 public:
  // Throws RedomarkError::unsafeStore when the store root isn't private to
  // the user, RedomarkError::checkpointDeleted when the checkpoint is gone.
  HeldCheckpoint(const CheckpointStore& store, const Checkpoint& checkpoint);

  const Checkpoint& checkpoint() const { return checkpoint_; }
  // The checkpoint's own directory ("manifest.json", "meta.json", "data").
  const DirectoryHandle& directory() const { return directory_; }
  // The saved tree.
  const DirectoryHandle& data() const { return data_; }
  // Throws RedomarkError::checkpointDeleted unless the checkpoint still
  // stands under its id, so that what was read (or found missing) before the
  // call is what it holds.
  void confirmWhole() const;

 private:
  Checkpoint checkpoint_;
  DirectoryHandle folderDirectory_;
  DirectoryHandle directory_;
  DirectoryHandle data_;
};

}  // namespace redomark
