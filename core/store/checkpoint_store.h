// Where a folder's checkpoints live and how they are named, listed, resolved,
// measured and deleted. A small value made for one operation: from the first
// step that reaches its root it holds the root open, so that every later step
// works in that same directory and no path is resolved again; copies share it.
// It caches nothing else, so several processes can use one store at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// What "latest" means in a folder's list (oldest first, not empty): the newest
// checkpoint the user or a timer took, so that a restore's own checkpoint
// never becomes what the next restore returns to; the newest of all when
// every one was taken before a restore.
const Checkpoint& latestUndoPoint(const std::vector<Checkpoint>& list);

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
  // per-volume store, RedomarkError::io for the default one.
  DirectoryHandle ensureRoot() const;
  // The folder's directory below the open root, made private when missing.
  // Throws RedomarkError::unsafeStore or RedomarkError::io as ensureRoot does.
  DirectoryHandle ensureFolderDirectory(const DirectoryHandle& root, const std::string& sourcePath) const;
  // The existing root, reached without following a link; else the FsError of
  // opening it (ENOENT when it is missing). Throws RedomarkError::unsafeStore when it isn't a private
  // directory of the user's, as every reader below does.
  FsResult<DirectoryHandle> openRoot() const;
  // The folder's directory below the existing root; else the FsError.
  FsResult<DirectoryHandle> openFolderDirectory(const std::string& sourcePath) const;
  // The checkpoint's saved tree, reached without following a link; else the
  // FsError (ENOENT when it is missing).
  FsResult<DirectoryHandle> openData(const Checkpoint& c) const;

  // Complete checkpoints of this very folder, oldest first (ties by id).
  // Throws only RedomarkError::unsafeStore.
  std::vector<Checkpoint> checkpoints(const std::string& folder) const;
  // Every folder's checkpoints, by createdAt only. Throws only unsafeStore.
  std::vector<Checkpoint> allCheckpoints() const;
  // The same for the store whose root is already open. Never fails.
  static std::vector<Checkpoint> allCheckpoints(const DirectoryHandle& root);
  // latestUndoPoint for none or "latest", else an exact id or a unique prefix. Throws
  // RedomarkError noCheckpoints, checkpointNotFound or ambiguousCheckpoint.
  Checkpoint resolve(const std::optional<std::string>& id, const std::string& folder) const;
  // Withdraws the checkpoint by one rename, then removes it. Throws RedomarkError::io.
  void deleteCheckpoint(const Checkpoint& c) const;
  // Whether the checkpoint's directory is still there. Throws only unsafeStore.
  bool contains(const Checkpoint& c) const;
  // Removes ".partial" and ".deleting-" leftovers of the folder; the caller
  // holds its lock. What can't be removed now is tried again next time.
  void removeLeftovers(const std::string& folder) const;
  // Notes in the folder's directory a temporary entry that an operation made
  // at relativePath below the folder's parent, so that the next operation
  // on the folder removes it should this one die first. Returns the note's
  // name. Throws RedomarkError::io.
  std::string noteTemporary(const std::string& folder, const std::string& relativePath) const;
  // Removes the note; never fails.
  void forgetTemporary(const std::string& folder, const std::string& note) const;
  // The folder's notes: each note's name and the relative path it holds.
  // Throws only unsafeStore.
  std::vector<std::pair<std::string, std::string>> temporaries(const std::string& folder) const;
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

  // The root as first reached, and checked; a new descriptor of it for each caller.
  std::optional<DirectoryHandle> heldRoot() const;
  DirectoryHandle hold(DirectoryHandle root) const;

  std::string root_;
  std::string volumeMountPoint_;
  mutable std::shared_ptr<const DirectoryHandle> held_;
};

// The default store when folder (an existing path) is on the same file system
// as defaultRoot (in any subvolume of one Btrfs file system), else the user's
// own store at the folder volume's mount point.
// Throws the volume-reading RedomarkError::io.
CheckpointStore storeForFolder(const std::string& folder, const std::string& defaultRoot);

}  // namespace redomark
