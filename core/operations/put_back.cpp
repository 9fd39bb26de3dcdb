#include <unordered_set>

#include "core/fs/held_folder.h"
#include "core/fs/typed_path.h"
#include "core/operations/redomark.h"
#include "core/operations/location_check.h"
#include "core/records/redomark_error.h"
#include "core/store/fs_failure.h"
#include "core/store/folder_lock.h"

namespace redomark {

namespace {

std::string putBackName(size_t count) {
  return "Before putting back " + std::to_string(count) + (count == 1 ? " item" : " items");
}

// Putting back a chosen directory already brought back everything below it.
bool hasChosenAncestor(const std::string& path, const std::unordered_set<std::string>& chosen) {
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1))
    if (chosen.contains(path.substr(0, slash))) return true;
  return false;
}

PutBackResult countAll(const std::vector<Change>& changes) {
  PutBackResult result;
  for (const Change& c : changes) {
    if (c.kind == Change::Kind::modified) ++result.replacedCount;
    if (c.kind == Change::Kind::added) ++result.removedCount;
    if (c.kind == Change::Kind::deleted) ++result.restoredCount;
  }
  return result;
}

}  // namespace

RestoreResult Redomark::putBackItem(const std::string& folder, const std::string& relativePath,
                                    const std::optional<std::string>& id, OperationControl* control) const try {
  const std::string canonical = canonicalPath(folder);
  const std::string relative = validateRelativePath(relativePath);
  const CheckpointStore store = storeFor(canonical);
  const Checkpoint checkpoint = store.resolve(id, canonical);
  return withFolderLockResult(store, canonical, [&] {
    const HeldFolder held = HeldFolder::hold(canonical, true);
    if (held.held() && !held.isDirectory()) throw RedomarkError::notADirectory(folder);
    return restoreLocked(held, relative, checkpoint, store, control);
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

PutBackResult Redomark::putBackChanges(const std::string& folder, const std::optional<std::string>& id,
                                       const std::set<std::string>& paths, OperationControl* control) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  const Checkpoint checkpoint = store.resolve(id, canonical);
  // Computed before the lock: what is put back is what the request saw.
  const std::vector<Change> changes = computeChanges(canonical, checkpoint, store);
  std::vector<const Change*> chosen;
  for (const Change& c : changes)
    if (paths.contains(c.path)) chosen.push_back(&c);
  if (chosen.empty()) return {};

  // A link planted at the folder's name since it was resolved would lead elsewhere.
  const std::string p = checkLocation(canonical, store.root(), false, policy_);
  if (p != canonical) throw RedomarkError::pathChanged(canonical);
  if (chosen.size() == changes.size()) {
    PutBackResult result = countAll(changes);
    // The very checkpoint the changes were computed against, never "latest" again.
    result.beforePutBack = withFolderLockResult(store, p, [&] {
      return restoreLocked(HeldFolder::hold(p, true), std::nullopt, checkpoint, store, control).beforeRestore;
    });
    result.wholeFolder = true;
    return result;
  }

  return withFolderLockResult(store, p, [&] {
    const HeldFolder held = HeldFolder::hold(p, false);
    if (!held.isDirectory()) throw RedomarkError::notADirectory(folder);
    PutBackResult result;
    removeLeftoverClones(store, held);
    result.beforePutBack = saveCheckpoint(held, store, putBackName(chosen.size()), Checkpoint::Kind::beforeRestore, control);
    std::unordered_set<std::string> chosenPaths;
    for (const Change* c : chosen) chosenPaths.insert(c->path);
    for (const Change* c : chosen) {
      if (hasChosenAncestor(c->path, chosenPaths)) continue;
      if (control && control->isCancelled()) throw RedomarkError::cancelled();
      const std::string relative = validateRelativePath(c->path);
      switch (c->kind) {
        case Change::Kind::modified:
          restoreLocked(held, relative, checkpoint, store, control);
          ++result.replacedCount;
          break;
        case Change::Kind::deleted:
          restoreLocked(held, relative, checkpoint, store, control);
          ++result.restoredCount;
          break;
        case Change::Kind::added:
          if (takeAway(held, relative)) ++result.removedCount;
          break;
      }
    }
    return result;
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
