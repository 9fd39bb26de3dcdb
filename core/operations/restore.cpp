#include <cstdio>
#include <random>

#include "core/fs/clone_engine.h"
#include "core/fs/exchange.h"
#include "core/fs/file_ops.h"
#include "core/fs/item_status.h"
#include "core/fs/trash.h"
#include "core/fs/volume.h"
#include "core/operations/redomark.h"
#include "core/records/local_date.h"
#include "core/records/redomark_error.h"
#include "core/store/folder_lock.h"

namespace redomark {

namespace {

// A hidden name beside the target that nothing holds yet.
std::string freeTemporaryPath(const std::string& directory) {
  std::random_device secure;
  char name[32];
  std::string path;
  do {
    std::snprintf(name, sizeof name, ".redomark-restore-%x", static_cast<unsigned>(secure()));
    path = joinPath(directory, name);
  } while (pathExists(path, false));
  return path;
}

// Removes the clone beside the target unless it was put in place; after an
// exchange the same path holds the previous contents, which must survive.
class TemporaryClone {
 public:
  explicit TemporaryClone(std::string path) : path_(std::move(path)) {}
  TemporaryClone(const TemporaryClone&) = delete;
  TemporaryClone& operator=(const TemporaryClone&) = delete;
  ~TemporaryClone() {
    if (placed_) return;
    try {
      removeTree(path_);
    } catch (...) {
      // Best effort: the first error is the one reported.
    }
  }

  const std::string& path() const { return path_; }
  void placed() { placed_ = true; }

 private:
  std::string path_;
  bool placed_ = false;
};

bool sameRegularFile(const std::optional<ItemStatus>& a, const std::optional<ItemStatus>& b) {
  return a && b && a->kind == EntryKind::file && b->kind == EntryKind::file && a->size == b->size &&
         a->mtimeNs == b->mtimeNs;
}

// A link among the parents would put the item back somewhere outside the folder.
void refuseLinkedParents(const std::string& folder, const std::string& relativePath) {
  std::string parent = folder;
  for (size_t start = 0, slash; (slash = relativePath.find('/', start)) != std::string::npos; start = slash + 1) {
    parent += '/';
    parent.append(relativePath, start, slash - start);
    const std::optional<ItemStatus> status = itemStatus(parent);
    if (!status) return;
    if (status->kind == EntryKind::symlink) throw RedomarkError::invalidRelativePath(relativePath);
  }
}

}  // namespace

RestoreResult Redomark::restore(const std::string& folder, const std::optional<std::string>& id,
                                OperationControl* control) const {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  const Checkpoint checkpoint = store.resolve(id, canonical);
  const std::string p = checkLocation(canonical, store.root(), false, policy_);
  return withFolderLockResult(store, p,
                              [&] { return restoreLocked(p, std::nullopt, checkpoint, store, control); });
}

RestoreResult Redomark::restoreLocked(const std::string& canonicalFolder,
                                      const std::optional<std::string>& relativePath, const Checkpoint& checkpoint,
                                      const CheckpointStore& store, OperationControl* control) const {
  const std::string data = store.dataDirectory(checkpoint);
  const std::string source = relativePath ? data + "/" + *relativePath : data;
  const std::string target = relativePath ? canonicalFolder + "/" + *relativePath : canonicalFolder;

  const std::optional<ItemStatus> saved = itemStatus(source);
  if (!saved) throw RedomarkError::notInCheckpoint(relativePath ? *relativePath : canonicalFolder);
  if (relativePath) refuseLinkedParents(canonicalFolder, *relativePath);
  const std::optional<ItemStatus> current = itemStatus(target);
  if (relativePath && sameRegularFile(current, saved)) return {};

  RestoreResult result;
  if (!relativePath && current) {
    if (!isDirectory(target)) throw RedomarkError::notADirectory(canonicalFolder);
    const VolumeInfo volume = readVolumeInfo(target);
    if (!volume.canClone || !volume.canSwap) throw RedomarkError::unsupportedVolume("it can't swap folders");
    result.beforeRestore = saveCheckpoint(target, "Before putting back " + localDateTime(checkpoint.createdAt, TimeDetail::minutes),
                                          Checkpoint::Kind::beforeRestore, control);
  }
  if (control && control->isCancelled()) throw RedomarkError::cancelled();

  const std::string parent = parentPath(target);
  createDirectories(parent);
  const std::string temporary = freeTemporaryPath(parent);
  const std::optional<int64_t> total = relativePath ? std::nullopt : std::optional<int64_t>(checkpoint.fileCount);
  cloneTree(source, temporary, total, control);
  TemporaryClone clone(temporary);

  if (!current) {
    moveItem(temporary, target);
    clone.placed();
    return result;
  }
  if (const int code = exchangeEntries(temporary, target); code != 0) throw RedomarkError::swapFailed(code);
  clone.placed();
  result.replacedItem = moveAside(temporary, lastComponent(target), trashReplaced_);
  return result;
}

std::string Redomark::moveAside(const std::string& path, const std::string& name, bool trash) {
  const std::string directory = parentPath(path);
  const std::string base = name + " (replaced by Redomark";
  std::string candidate = joinPath(directory, base + ")");
  for (int n = 2; pathExists(candidate); ++n) candidate = joinPath(directory, base + " " + std::to_string(n) + ")");
  if (moveWithoutReplacing(path, candidate) != 0) return path;
  if (!trash) return candidate;
  try {
    return moveToTrash(candidate);
  } catch (...) {
    return candidate;
  }
}

}  // namespace redomark
