#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <system_error>

#include "core/fs/clone_engine.h"
#include "core/fs/held_folder.h"
#include "core/fs/path_text.h"
#include "core/fs/subvolume.h"
#include "core/fs/trash.h"
#include "core/fs/typed_path.h"
#include "core/fs/volume.h"
#include "core/operations/redomark.h"
#include "core/operations/location_check.h"
#include "core/operations/temporary_clone.h"
#include "core/records/local_date.h"
#include "core/records/redomark_error.h"
#include "core/records/unicode_text.h"
#include "core/store/fs_failure.h"
#include "core/store/folder_lock.h"

namespace redomark {

namespace {

// The longest name the file systems take, in bytes.
constexpr size_t nameMaxBytes = 255;

// name + " (replaced by Redomark)", or its numbered variant, with the name
// cut where it must be for the whole to stay a name.
std::string replacedName(const std::string& name, int n) {
  const std::string suffix =
      n == 1 ? std::string(" (replaced by Redomark)") : " (replaced by Redomark " + std::to_string(n) + ")";
  return std::string(cutAtCharacter(name, nameMaxBytes - suffix.size())) + suffix;
}

bool sameRegularFile(const std::optional<ItemStatus>& a, const std::optional<ItemStatus>& b) {
  return a && b && a->kind == EntryKind::file && b->kind == EntryKind::file && a->size == b->size &&
         a->mtimeNs == b->mtimeNs;
}

// The directory that holds an item of the folder, each parent on the way
// reached without a link or a mount point. With saved, the parents that are
// missing are made again with the attributes of the saved ones (their times
// once the item is in place, as a clone's directories get theirs last).
class TargetParent {
 public:
  TargetParent(const DirectoryHandle& folder, const std::string& relativePath, const DirectoryHandle* saved)
      : relativePath_(relativePath), directory_(reach(folder, relativeParent(relativePath), saved)) {}

  const DirectoryHandle& directory() const { return directory_; }
  // Throws pathChanged unless the same parents still lead from the folder to it.
  void recheck(const DirectoryHandle& folder) const {
    const std::string parent = relativeParent(relativePath_);
    if (parent.empty()) return;
    const FsResult<DirectoryHandle> now = folder.descend(parent);
    if (!now || !now->ownStatus().sameItem(directory_.ownStatus()))
      throw RedomarkError::pathChanged(joinPath(folder.path(), parent));
  }
  void finish() const {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) copyDirectoryAttributes(it->first, it->second);
  }

 private:
  DirectoryHandle reach(const DirectoryHandle& folder, const std::string& parent, const DirectoryHandle* saved) {
    std::optional<DirectoryHandle> at = folder.reopen();
    std::optional<DirectoryHandle> savedAt = saved ? std::optional<DirectoryHandle>(saved->reopen()) : std::nullopt;
    for (size_t start = 0; start < parent.size();) {
      size_t end = parent.find('/', start);
      if (end == std::string::npos) end = parent.size();
      const std::string name = parent.substr(start, end - start);
      if (savedAt) savedAt = savedAt->child(name).orNothing();
      const FsResult<ItemStatus> facts = at->status(name);
      if (facts && (facts->kind == EntryKind::symlink || facts->mountRoot))
        throw RedomarkError::invalidRelativePath(relativePath_);
      if (!facts && savedAt) {
        DirectoryHandle made = at->makePrivateDirectory(name);
        copyDirectoryAttributes(*savedAt, made);
        made_.emplace_back(savedAt->reopen(), std::move(made));
      }
      FsResult<DirectoryHandle> next = at->child(name);
      if (!next) {
        // A link, or something else where a directory was seen or just made.
        const int error = next.code();
        if (error == ELOOP || (error == ENOTDIR && (!facts || facts->kind == EntryKind::directory)))
          throw RedomarkError::pathChanged(joinPath(at->path(), name));
        throw fsFailure(next.error());
      }
      at = std::move(*next);
      start = end + 1;
    }
    return std::move(*at);
  }

  std::string relativePath_;
  std::vector<std::pair<DirectoryHandle, DirectoryHandle>> made_;  // saved parent, its new copy
  DirectoryHandle directory_;
};

// How often a wait for a copy looks for a cancel to pass on.
constexpr std::chrono::milliseconds cancelPollInterval{20};

// Copies the saved tree into parent under name. A subvolume folder stays one:
// a writable snapshot of a snapshot checkpoint (nothing counted), else a new
// subvolume holding a copy of the saved tree.
std::optional<CloneContext> copySavedTree(const DirectoryHandle& data, const DirectoryHandle& parent,
                                          const std::string& name, int64_t fileCount, bool asSubvolume,
                                          OperationControl* control) {
  if (!asSubvolume) return cloneDirectory(data, parent, name, fileCount, control);
  if (isSubvolume(data) && snapshotSubvolume(data, parent, name, false) == 0) return std::nullopt;
  return cloneDirectoryAsSubvolume(data, parent, name, fileCount, control);
}

// Runs work on this thread while copy runs on another. The copy has a control
// of its own: the operation's cancel is passed on to it, and its progress is
// told once work is done telling its own. Should work fail, the copy is
// cancelled, and has stopped and removed what it made before the failure
// goes on.
std::optional<CloneContext> copyWhile(const std::function<void()>& work,
                                      const std::function<std::optional<CloneContext>(OperationControl*)>& copy,
                                      OperationControl* control) {
  std::atomic<bool> working = true;
  OperationControl copyControl([&](const OperationProgress& p) {
    if (control && !working) control->report(p);
  });
  std::future<std::optional<CloneContext>> copying = std::async(std::launch::async, copy, &copyControl);
  try {
    work();
    working = false;
    while (copying.wait_for(cancelPollInterval) != std::future_status::ready)
      if (control && control->isCancelled()) copyControl.cancel();
  } catch (...) {
    // The future waits for the copy as the failure leaves this scope.
    copyControl.cancel();
    throw;
  }
  return copying.get();
}

}  // namespace

RestoreResult Redomark::restore(const std::string& folder, const std::optional<std::string>& id,
                                OperationControl* control) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  const Checkpoint checkpoint = store.resolve(id, canonical);
  // The path checked must be the one whose checkpoint was chosen: resolving
  // the given text again could lead through a link planted meanwhile.
  const std::string p = checkLocation(folder, store.root(), false, policy_);
  if (p != canonical) throw RedomarkError::pathChanged(canonical);
  // Before anything is made for a folder that is gone.
  if (!store.openData(checkpoint)) throw RedomarkError::notInCheckpoint(p);
  return withFolderLockResult(store, p, [&] {
    const HeldFolder held = HeldFolder::hold(p, true);
    return restoreLocked(held, std::nullopt, checkpoint, store, control);
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

RestoreResult Redomark::restoreLocked(const HeldFolder& folder, const std::optional<std::string>& relativePath,
                                      const Checkpoint& checkpoint, const CheckpointStore& store,
                                      OperationControl* control) const {
  if (relativePath) return putBackLocked(folder, *relativePath, checkpoint, store, control);
  const FsResult<DirectoryHandle> data = store.openData(checkpoint);
  if (!data) throw RedomarkError::notInCheckpoint(folder.path());
  if (folder.held() && !folder.isDirectory()) throw RedomarkError::pathChanged(folder.path());

  RestoreResult result;
  bool keepSubvolume = false;
  if (folder.held()) {
    keepSubvolume = isSubvolume(folder.open());
    const VolumeInfo volume = readVolumeInfo(folder.open());
    if (!volume.canClone || !volume.canSwap) throw RedomarkError::unsupportedVolume("it can't swap folders");
    // Before the clone is noted, which the save would take for a leftover.
    removeLeftoverClones(store, folder);
  }
  const auto saveCurrentState = [&] {
    if (!folder.held()) return;
    result.beforeRestore =
        saveCheckpoint(folder, store, "Before putting back " + localDateTime(checkpoint.createdAt, TimeDetail::minutes),
                       Checkpoint::Kind::beforeRestore, control);
    if (control && control->isCancelled()) throw RedomarkError::cancelled();
  };

  const DirectoryHandle& parent = folder.parent();
  TemporaryClone clone(store, folder, parent, "");
  const auto copy = [&](OperationControl* copyControl) {
    return copySavedTree(*data, parent, clone.name(), checkpoint.fileCount, keepSubvolume, copyControl);
  };
  // Copies into different trees of items (Btrfs keeps one per subvolume) run
  // side by side; into one tree they only wait on each other's locks.
  std::optional<CloneContext> copied;
  if (folder.held() && data->ownStatus().device != parent.ownStatus().device) {
    copied = copyWhile(saveCurrentState, copy, control);
  } else {
    saveCurrentState();
    copied = copy(control);
  }
  if (control && control->isCancelled()) throw RedomarkError::cancelled();
  // A saved tree that lost items since it was recorded (deleted while it was
  // being read, say) is never swapped in as if it were the checkpoint.
  if (copied && copied->files + copied->links < checkpoint.fileCount) throw RedomarkError::notInCheckpoint(folder.path());
  if (folder.held()) folder.recheck();
  result.replacedItem = placeClone(parent, clone, folder.name(), !folder.held());
  return result;
}

RestoreResult Redomark::putBackLocked(const HeldFolder& folder, const std::string& relativePath,
                                      const Checkpoint& checkpoint, const CheckpointStore& store,
                                      OperationControl* control) const {
  store.removeLeftovers(folder.path());
  removeLeftoverClones(store, folder);
  const FsResult<DirectoryHandle> data = store.openData(checkpoint);
  const std::string parentPath = relativeParent(relativePath);
  const std::string name = lastComponent(relativePath);
  // A link or anything but a directory on the saved side means the item isn't there.
  const std::optional<DirectoryHandle> savedParent =
      !data ? std::nullopt : (parentPath.empty() ? data->child(".") : data->descend(parentPath)).orNothing();
  const std::optional<ItemStatus> saved = savedParent ? savedParent->status(name).orNothing() : std::nullopt;
  if (!saved) throw RedomarkError::notInCheckpoint(relativePath);

  std::optional<HeldFolder> remade;
  if (!folder.held()) {
    // A folder that is gone is made again, as the saved one was, to hold the item.
    copyDirectoryAttributes(*data, folder.parent().makePrivateDirectory(folder.name()));
    remade = HeldFolder::hold(folder.path(), false);
  }
  const HeldFolder& held = remade ? *remade : folder;
  if (!held.isDirectory()) throw RedomarkError::pathChanged(held.path());
  const DirectoryHandle root = held.open();
  const TargetParent target(root, relativePath, &*data);
  const DirectoryHandle& parent = target.directory();
  const std::optional<ItemStatus> current = parent.status(name).orNothing();
  if (sameRegularFile(current, saved)) return {};
  if (control && control->isCancelled()) throw RedomarkError::cancelled();

  TemporaryClone clone(store, held, parent, joinPath(held.name(), parentPath));
  cloneEntry(*savedParent, name, parent, clone.name(), std::nullopt, control);
  held.recheck();
  target.recheck(root);
  RestoreResult result;
  result.replacedItem = placeClone(parent, clone, name, !current);
  target.finish();
  return result;
}

bool Redomark::takeAway(const HeldFolder& folder, const std::string& relativePath) const {
  const DirectoryHandle root = folder.open();
  const TargetParent target(root, relativePath, nullptr);
  const std::string name = lastComponent(relativePath);
  if (!target.directory().status(name)) return false;
  moveAside(target.directory(), name, name, trashReplaced_);
  syncMovedAside(target.directory());
  return true;
}

std::optional<std::string> Redomark::placeClone(const DirectoryHandle& directory, TemporaryClone& temporary,
                                                const std::string& name, bool expectNothing) const {
  const std::string& clone = temporary.name();
  // The clone is whole on disk before it takes the name, and the name is
  // committed before anything is reported.
  directory.syncFileSystem();
  temporary.placing(name);
  if (expectNothing) {
    const int code = directory.moveWithoutReplacing(clone, directory, name).code();
    if (code == 0) {
      temporary.placed();
      directory.sync();
      return std::nullopt;
    }
    // Something appeared at the name meanwhile: it is swapped out like any
    // existing item, never replaced.
    if (code != EEXIST) throw fsFailure(code, FsOperation::move, joinPath(directory.path(), clone));
  }
  if (const int code = directory.exchange(clone, name).code(); code != 0) {
    // An item the system won't let go of (append-only, immutable) is named.
    if (code == EPERM)
      throw RedomarkError::io("Couldn't replace " + joinPath(directory.path(), name) + ": " + std::strerror(code) + ".");
    throw RedomarkError::swapFailed(code);
  }
  temporary.exchanged();
  directory.sync();
  std::string aside = moveAside(directory, clone, name, trashReplaced_);
  syncMovedAside(directory);
  temporary.placed();
  return aside;
}

// The move aside and the Trash's info file, committed before the report; the
// work is done by then, so a failure here is not one of the operation.
void Redomark::syncMovedAside(const DirectoryHandle& directory) {
  try {
    directory.syncFileSystem();
  } catch (const FsError&) {
  }
}

std::string Redomark::moveAside(const DirectoryHandle& directory, const std::string& current, const std::string& name,
                                bool trash) {
  std::string candidate;
  for (int n = 1;; ++n) {
    candidate = replacedName(name, n);
    const int code = directory.moveWithoutReplacing(current, directory, candidate).code();
    if (code == 0) break;
    if (code != EEXIST) return joinPath(directory.path(), current);
  }
  if (!trash) return joinPath(directory.path(), candidate);
  try {
    return moveToTrash(directory, candidate);
  } catch (...) {
    return joinPath(directory.path(), candidate);
  }
}

}  // namespace redomark
