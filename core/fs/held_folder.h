// A folder pinned for the length of one operation: its parent directory held
// open (reached from "/" without following a link) and the device and inode
// its entry had when it was checked. Every later step works in the real
// parent, and can tell when someone replaced the folder's entry meanwhile.
#pragma once

#include <optional>
#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/item_status.h"

namespace redomark {

class HeldFolder {
 public:
  // Holds the folder at a canonical path (absolute, no links), which may be
  // missing; with createParents its missing parents are made first. Throws
  // FsError: changed when a link is on the way or at the folder's own name,
  // a failed call when the parent cannot be opened or made.
  static HeldFolder hold(const std::string& canonicalPath, bool createParents);

  const std::string& path() const { return path_; }
  const DirectoryHandle& parent() const { return parent_; }
  const std::string& name() const { return name_; }
  // The entry's facts when it was held; nothing when nothing was there.
  const std::optional<ItemStatus>& held() const { return held_; }
  bool isDirectory() const { return held_ && held_->kind == EntryKind::directory; }

  // The folder itself. Throws FsError: FsOperation::copy when it is closed
  // to the user, else changed unless it still is the directory that was held.
  DirectoryHandle open() const;
  // Throws FsError::changed unless the entry is still what was held
  // (or still nothing).
  void recheck() const;

 private:
  HeldFolder(std::string path, DirectoryHandle parent, std::string name, std::optional<ItemStatus> held)
      : path_(std::move(path)), parent_(std::move(parent)), name_(std::move(name)), held_(std::move(held)) {}

  std::string path_;
  DirectoryHandle parent_;
  std::string name_;
  std::optional<ItemStatus> held_;
};

}  // namespace redomark
