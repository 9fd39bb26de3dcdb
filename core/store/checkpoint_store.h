// Where a folder's checkpoints live and how they are named, listed, resolved,
// measured and deleted. A small value: it keeps no cache and no open files,
// so several processes can use one store at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/checkpoint.h"

namespace redomark {

// The default store when folder (an existing path) is on the same volume as
// defaultRoot, else the folder volume's mount point + "/.redomark-checkpoints".
// Throws the volume-reading RedomarkError::io.
std::string storeRoot(const std::string& folder, const std::string& defaultRoot);

// Directory name for a canonical folder path: kept letters, numbers, "-" and "_"
// of its last component (32 grapheme clusters at most) + "-" + FNV-1a hex.
std::string folderKey(const std::string& path);

class CheckpointStore {
 public:
  explicit CheckpointStore(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }
  std::string folderDirectory(const std::string& sourcePath) const;
  std::string checkpointDirectory(const Checkpoint& c) const;
  std::string dataDirectory(const Checkpoint& c) const;

  // Creates the root (0700) with its CACHEDIR.TAG and ".metadata_never_index".
  // Throws std::system_error when the root cannot be created.
  void ensureRoot() const;

  // Complete checkpoints of this very folder, oldest first (ties by id). Never fails.
  std::vector<Checkpoint> checkpoints(const std::string& folder) const;
  // Every folder's checkpoints, by createdAt only. Never fails.
  std::vector<Checkpoint> allCheckpoints() const;
  // Latest for none or "latest", else an exact id or a unique prefix. Throws
  // RedomarkError noCheckpoints, checkpointNotFound or ambiguousCheckpoint.
  Checkpoint resolve(const std::optional<std::string>& id, const std::string& folder) const;
  // Withdraws the checkpoint by one rename, then removes it. Throws std::system_error.
  void deleteCheckpoint(const Checkpoint& c) const;
  // Removes ".partial" and ".deleting-" leftovers of the folder. Never fails.
  void removeLeftovers(const std::string& folder) const;
  // Bytes that only this checkpoint holds. Never fails.
  int64_t uniqueBytes(const Checkpoint& c) const;

 private:
  std::string root_;
};

// Removes dir when it holds nothing but ".lock"; failures are ignored.
void removeIfOnlyLock(const std::string& dir);

}  // namespace redomark
