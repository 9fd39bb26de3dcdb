#include "core/fs/held_folder.h"

#include <cerrno>

#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"

namespace redomark {

HeldFolder HeldFolder::hold(const std::string& canonicalPath, bool createParents) {
  const std::string parentName = parentPath(canonicalPath);
  FsResult<DirectoryHandle> parent =
      createParents ? FsResult<DirectoryHandle>(DirectoryHandle::create(parentName)) : DirectoryHandle::open(parentName);
  if (!parent) {
    // The canonical path had no link in it; one there now was put there since.
    if (parent.code() == ELOOP || parent.code() == ENOTDIR) throw FsError::changed(canonicalPath);
    throw parent.error();
  }
  std::string name = lastComponent(canonicalPath);
  std::optional<ItemStatus> held = parent->status(name).orNothing();
  if (held && held->kind == EntryKind::symlink) throw FsError::changed(canonicalPath);
  return HeldFolder(canonicalPath, std::move(*parent), std::move(name), std::move(held));
}

DirectoryHandle HeldFolder::open() const {
  FsResult<DirectoryHandle> folder = parent_.child(name_);
  // A folder closed to the user is that, not a change: it can't be copied.
  if (!folder && held_ && held_->kind == EntryKind::directory && (folder.code() == EACCES || folder.code() == EPERM))
    throw FsError(folder.code(), FsOperation::copy, path_);
  if (!folder || !held_ || !folder->ownStatus().sameItem(*held_)) throw FsError::changed(path_);
  return std::move(*folder);
}

void HeldFolder::recheck() const {
  const FsResult<ItemStatus> now = parent_.status(name_);
  const bool same = now ? held_ && now->sameItem(*held_) : !held_;
  if (!same) throw FsError::changed(path_);
}

}  // namespace redomark
