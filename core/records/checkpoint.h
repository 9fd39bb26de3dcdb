// The records that operations exchange and that the store keeps on disk.
// Plain values: copying one copies every field; none refers to a file or handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace redomark {

// Type of one item of a tree, as walked and as saved in a manifest.
enum class EntryKind { file, directory, symlink, other };

struct Checkpoint {
  // automatic: taken by a timed run, thinned on a timeline of hours, days,
  // weeks and months.
  enum class Kind { manual, beforeRestore, automatic };

  std::string id;  // yyyyMMdd-HHmmss-xxxx, also the checkpoint's directory name
  std::optional<std::string> name;
  Kind kind = Kind::manual;
  std::string sourcePath;  // canonical absolute path of the saved folder
  double createdAt = 0;    // seconds since the Unix epoch
  int64_t fileCount = 0;   // saved entries that are not directories
  int64_t totalBytes = 0;
  int64_t notClonedCount = 0;
  std::vector<std::string> changedWhileSaving;

  bool operator==(const Checkpoint&) const = default;
};

struct ManifestEntry {
  using Kind = EntryKind;

  std::string path;  // relative, joined by "/", no leading or trailing "/"
  Kind kind = Kind::file;
  int64_t size = 0;  // bytes for a file, 0 for every other kind
  int64_t mtimeNs = 0;

  bool operator==(const ManifestEntry&) const = default;
};

// Whether an item seen now is the one a manifest recorded: the same kind and,
// but for a directory (never modified by its own times or size), the same
// size and modification time. Both have kind, size and mtimeNs.
template <typename Recorded, typename Seen>
bool isUnchanged(const Recorded& was, const Seen& now) {
  return was.kind == now.kind &&
         (now.kind == EntryKind::directory || (was.size == now.size && was.mtimeNs == now.mtimeNs));
}

struct Change {
  enum class Kind { added, modified, deleted };

  std::string path;
  Kind kind = Kind::added;
  bool isDirectory = false;
  std::optional<int64_t> currentSize;  // absent when the item no longer exists
  std::optional<int64_t> savedSize;    // absent when the item is new

  bool operator==(const Change&) const = default;
};

struct FolderSummary {
  std::string path;
  std::vector<Checkpoint> checkpoints;  // oldest first
};

struct RestoreResult {
  std::optional<Checkpoint> beforeRestore;
  std::optional<std::string> replacedItem;  // absolute path where the previous contents went
};

struct PutBackResult {
  std::optional<Checkpoint> beforePutBack;
  int64_t replacedCount = 0;
  int64_t removedCount = 0;
  int64_t restoredCount = 0;
  bool wholeFolder = false;
};

}  // namespace redomark
