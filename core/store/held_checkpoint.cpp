#include "core/store/held_checkpoint.h"

#include <optional>

#include "core/records/redomark_error.h"

namespace redomark {

namespace {

DirectoryHandle openFolderDirectory(const CheckpointStore& store, const Checkpoint& checkpoint) {
  FsResult<DirectoryHandle> folder = store.openFolderDirectory(checkpoint.sourcePath);
  if (!folder) throw RedomarkError::checkpointDeleted();
  return std::move(*folder);
}

DirectoryHandle childOrDeleted(const DirectoryHandle& directory, const std::string& name) {
  // A damaged record's id must not lead anywhere but one entry of its folder directory.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    throw RedomarkError::checkpointDeleted();
  FsResult<DirectoryHandle> child = directory.child(name);
  if (!child) throw RedomarkError::checkpointDeleted();
  return std::move(*child);
}

}  // namespace

HeldCheckpoint::HeldCheckpoint(const CheckpointStore& store, const Checkpoint& checkpoint)
    : checkpoint_(checkpoint),
      folderDirectory_(openFolderDirectory(store, checkpoint)),
      directory_(childOrDeleted(folderDirectory_, checkpoint.id)),
      data_(childOrDeleted(directory_, "data")) {}

void HeldCheckpoint::confirmWhole() const {
  const FsResult<ItemStatus> standing = folderDirectory_.status(checkpoint_.id);
  if (!standing || !standing->sameItem(directory_.ownStatus())) throw RedomarkError::checkpointDeleted();
}

}  // namespace redomark
