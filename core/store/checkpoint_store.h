// Where a folder's checkpoints live and how they are named, listed, resolved,
// measured and deleted. A small value: it keeps no cache and no open files,
// so several processes can use one store at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/records/checkpoint.h"

namespace redomark {

// The effective user's store on the volume mounted at mountPoint:
// ".redomark-checkpoints/<uid>" when an administrator made that directory
// shared (owned by root, sticky, not a link), else ".redomark-checkpoints-<uid>".
std::string volumeStoreRoot(const std::string& mountPoint);

// Directory name for a canonical folder path: kept letters, numbers, "-" and "_"
// of its last component (32 grapheme clusters at most) + "-" + FNV-1a hex.
std::string folderKey(const std::string& path);

class CheckpointStore {
 public:
  // volumeMountPoint: the mount point of a per-volume store, empty for the default store.
  explicit CheckpointStore(std::string root, std::string volumeMountPoint = {})
      : root_(std::move(root)), volumeMountPoint_(std::move(volumeMountPoint)) {}

  const std::string& root() const { return root_; }
  std::string folderDirectory(const std::string& sourcePath) const;
  std::string checkpointDirectory(const Checkpoint& c) const;
  std::string dataDirectory(const Checkpoint& c) const;

  // The root, reached without following a link, made (0700, with its
  // CACHEDIR.TAG and ".metadata_never_index") when missing. Throws
  // RedomarkError::unsafeStore when it isn't a private directory of the
  // user's; when it cannot be made, RedomarkError::storeNotCreatable for a
  // per-volume store, std::system_error for the default one.
  DirectoryHandle ensureRoot() const;
  // The folder's directory below the open root, made private when missing.
  // Throws RedomarkError::unsafeStore or std::system_error as ensureRoot does.
  DirectoryHandle ensureFolderDirectory(const DirectoryHandle& root, const std::string& sourcePath) const;
  // The checkpoint's saved tree, reached without following a link; nothing
  // when it is missing.
  std::optional<DirectoryHandle> openData(const Checkpoint& c) const;

  // Complete checkpoints of this very folder, oldest first (ties by id). Never fails.
  std::vector<Checkpoint> checkpoints(const std::string& folder) const;
  // Every folder's checkpoints, by createdAt only. Never fails.
  std::vector<Checkpoint> allCheckpoints() const;
  // The same for the store whose root is already open. Never fails.
  static std::vector<Checkpoint> allCheckpoints(const DirectoryHandle& root);
  // Latest for none or "latest", else an exact id or a unique prefix. Throws
  // RedomarkError noCheckpoints, checkpointNotFound or ambiguousCheckpoint.
  Checkpoint resolve(const std::optional<std::string>& id, const std::string& folder) const;
  // Withdraws the checkpoint by one rename, then removes it. Throws std::system_error.
  void deleteCheckpoint(const Checkpoint& c) const;
  // Removes ".partial" and ".deleting-" leftovers of the folder. Never fails.
  void removeLeftovers(const std::string& folder) const;
  // Bytes that only this checkpoint holds: its own files, the data its copies
  // share with nothing else, and an estimate of the file system's records of
  // the copies. Never fails.
  int64_t uniqueBytes(const Checkpoint& c) const;
  // Removes the folder's directory when it holds nothing but ".lock";
  // failures are ignored.
  void removeFolderDirectoryIfOnlyLock(const std::string& sourcePath) const;

 private:
  DirectoryHandle ensureDefaultRoot() const;
  DirectoryHandle ensureVolumeRoot() const;

  std::string root_;
  std::string volumeMountPoint_;
};

// The default store when folder (an existing path) is on the same file system
// as defaultRoot (in any subvolume of one Btrfs file system), else the user's
// own store at the folder volume's mount point.
// Throws the volume-reading RedomarkError::io.
CheckpointStore storeForFolder(const std::string& folder, const std::string& defaultRoot);

}  // namespace redomark
