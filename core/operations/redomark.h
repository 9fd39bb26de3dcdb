// The engine value through which a front end runs every operation on a folder
// and its checkpoints. A plain value: it holds only its store root, safety
// policy and trash flag, caches nothing, and is used from one thread at a time.
// Folders are given as path text (absolute or relative, not yet canonical).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/child_process.h"
#include "core/fs/held_folder.h"
#include "core/fs/readable_file.h"
#include "core/fs/safety_policy.h"
#include "core/records/checkpoint.h"
#include "core/records/operation_control.h"
#include "core/records/record_coding.h"
#include "core/records/retention_policy.h"
#include "core/store/checkpoint_store.h"
#include "core/store/settings_file.h"

namespace redomark {

class TemporaryClone;

// What a save is asked for.
struct SaveRequest {
  std::optional<std::string> name;
  Checkpoint::Kind kind = Checkpoint::Kind::manual;
  // Nothing saved and nothing pruned when the folder has a latest undo point
  // that computeChanges finds equal to it.
  bool onlyIfChanged = false;
};

struct SaveResult {
  Checkpoint saved;                 // or, when unchanged, the latest undo point
  bool unchanged = false;           // nothing was saved
  std::vector<Checkpoint> removed;  // pruned after the save, in deletion order
  LoadedSettings settings;          // the limits the pruning followed, and where from
  int64_t recordBytes = 0;          // the file system's records of the copies, estimated
};

struct DiffResult {
  Checkpoint checkpoint;
  std::vector<Change> changes;  // sorted by path in NFC scalar order
  std::optional<Checkpoint> second = std::nullopt;  // compared with this checkpoint instead of the folder
  std::optional<std::string> item = std::nullopt;   // only this relative path and what is below it, normalized
  // With patches asked for, one per change: its content change as a unified
  // diff, empty for anything but a regular file and for equal bytes.
  std::vector<std::string> patches = {};
};

// What a diff compares: the checkpoint id (the latest for none or "latest")
// with the folder, or with a second checkpoint; the whole folder or one item.
struct DiffRequest {
  std::optional<std::string> id;
  std::optional<std::string> id2;
  std::optional<std::string> item;  // a relative path, validated as restore --file's
  bool patches = false;
};

// An item as a checkpoint saved it.
struct ShowResult {
  Checkpoint checkpoint;
  EntryKind kind = EntryKind::directory;
  std::optional<ReadableFile> file;  // a regular file, open and read whole whatever happens to the checkpoint
  std::string target;                // a link's
  std::vector<ListedItem> items;     // a directory's, in the order diff gives paths
};

class Redomark {
 public:
  static constexpr std::string_view version = "0.1.0";

  // Without a store root the default is defaultStoreRootBelow the home directory
  // ($HOME/.local/share/Redomark/Checkpoints on Linux).
  explicit Redomark(std::optional<std::string> storeRoot = std::nullopt,
                    SafetyPolicy policy = defaultSafetyPolicy());

  const std::string& defaultStoreRoot() const { return defaultStoreRoot_; }
  const SafetyPolicy& policy() const { return policy_; }
  // Whether replaced and removed items go to the Trash (true) or stay beside
  // their old place under the " (replaced by Redomark)" name.
  bool trashReplaced() const { return trashReplaced_; }
  void setTrashReplaced(bool value) { trashReplaced_ = value; }

  // The store that holds the checkpoints of a canonical folder path, found
  // through its nearest existing ancestor. Throws the volume-reading
  // RedomarkError::io.
  CheckpointStore storeFor(const std::string& canonicalFolder) const;

  // The folder's checkpoints, oldest first; empty for a folder never saved or
  // gone. Throws only the volume-reading RedomarkError::io.
  std::vector<Checkpoint> listCheckpoints(const std::string& folder) const;
  // Every folder with checkpoints in the default store or in the user's store
  // of a mounted Btrfs or XFS volume, the one saved most recently first.
  // Stores that cannot be read, or that aren't private to the user, are
  // skipped. Never fails.
  std::vector<FolderSummary> listFolders() const;
  // Bytes the checkpoint alone holds. Throws only the volume-reading error.
  int64_t spaceUsed(const Checkpoint& checkpoint) const;

  // The checkpoints of the folder that ids name, each resolved as diff
  // resolves one, oldest first and each once. Throws what resolving throws.
  std::vector<Checkpoint> resolveCheckpoints(const std::string& folder, const std::vector<std::string>& ids) const;
  // Deletes the checkpoints, all of one folder, oldest first as given, under
  // that folder's lock, calling deleted after each. Stops at the first
  // failure: RedomarkError::busy, checkpointNotFound for one already gone,
  // or RedomarkError::io for the volume or the store.
  void deleteCheckpoints(const std::vector<Checkpoint>& checkpoints,
                         const std::function<void(const Checkpoint&)>& deleted) const;
  void deleteCheckpoint(const Checkpoint& checkpoint) const;

  // The retention limits in "settings.json" beside the default store root.
  LoadedSettings loadSettings() const;
  // Throws RedomarkError::io when the file cannot be written.
  void saveSettings(const RetentionPolicy& policy) const;

  // Saves a manual checkpoint under the folder lock, without pruning.
  Checkpoint save(const std::string& folder, const std::optional<std::string>& name,
                  OperationControl* control) const;
  // Saves a manual checkpoint, then prunes under the same lock.
  SaveResult saveAndPrune(const std::string& folder, const std::optional<std::string>& name,
                          OperationControl* control) const;
  // Saves what the request asks, comparing and pruning under the same lock.
  SaveResult saveAndPrune(const std::string& folder, const SaveRequest& request, OperationControl* control) const;
  // The newest beforeRestore checkpoint of the folder: what undo returns to.
  std::optional<Checkpoint> lastBeforeRestore(const std::string& folder) const;
  // Runs a command as a child with this process's streams; see runAndWait.
  static ChildOutcome runCommand(const std::vector<std::string>& arguments) { return runAndWait(arguments); }

  // What changed in the folder since the checkpoint id (the latest for none or
  // "latest"). Throws the store's resolution errors, the walker's io, or the
  // manifest's read or decoding failure unchanged.
  DiffResult diff(const std::string& folder, const std::optional<std::string>& id) const;
  // The same for a request: against a second checkpoint (manifest against
  // manifest, the folder not walked), only one item (only that part walked
  // and compared), with patches. Also throws RedomarkError::invalidRelativePath,
  // unsafeStore, checkpointDeleted, and the io of a patch that diff can't make.
  DiffResult diff(const std::string& folder, const DiffRequest& request) const;

  // Puts the whole folder back as it was in the checkpoint, after saving the
  // current state as a beforeRestore checkpoint.
  RestoreResult restore(const std::string& folder, const std::optional<std::string>& id,
                        OperationControl* control) const;
  // Puts back one item, named by its path relative to the folder.
  RestoreResult putBackItem(const std::string& folder, const std::string& relativePath,
                            const std::optional<std::string>& id, OperationControl* control) const;
  // Puts back the chosen changes (paths as diff reports them).
  PutBackResult putBackChanges(const std::string& folder, const std::optional<std::string>& id,
                               const std::set<std::string>& paths, OperationControl* control) const;

  // The item at the relative path (the saved folder itself for none) of the
  // checkpoint id, read through held descriptors without following a link;
  // nothing is written and no lock is taken. Throws the store's resolution
  // errors, RedomarkError::invalidRelativePath, notInCheckpoint, unsafeStore,
  // checkpointDeleted, or RedomarkError::io when the item can't be read.
  ShowResult show(const std::string& folder, const std::optional<std::string>& id,
                  const std::optional<std::string>& item) const;

  // Where an item lies inside the checkpoint's saved tree; nothing is examined.
  // Throws RedomarkError::invalidRelativePath.
  std::string savedItemPath(const Checkpoint& checkpoint, const std::string& relativePath) const;

  // yyyyMMdd-HHmmss in UTC + "-" + four random lower-case hex digits.
  static std::string newCheckpointID();

 private:
  // Removes the copies that earlier restores of the held folder left, and
  // moves aside what they had replaced; the caller holds the folder lock.
  // Before a save's walk, so that no such copy is saved.
  void removeLeftoverClones(const CheckpointStore& store, const HeldFolder& folder) const;
  // The locked core of a save of the held folder into store, once the
  // leftover clones are removed; the caller holds the folder lock. Throws
  // RedomarkError, or the file system's FsError, which the public operation
  // turns into RedomarkError. Leaves no ".partial" directory behind when it
  // fails. With recordBytes, tells what the file system's records of the
  // copies take (0 for a snapshot, which shares them).
  Checkpoint saveCheckpoint(const HeldFolder& folder, const CheckpointStore& store,
                            const std::optional<std::string>& name, Checkpoint::Kind kind,
                            OperationControl* control, int64_t* recordBytes = nullptr) const;
  // The sorted changes of a canonical folder path against one of its checkpoints.
  static std::vector<Change> computeChanges(const std::string& canonicalFolder, const Checkpoint& checkpoint,
                                            const CheckpointStore& store);
  // The locked body of restore and put back; the caller holds the folder lock.
  // Without a relative path (already normalized) the whole folder is restored
  // after saving its current state. Removes its temporary clone on every
  // failure; throws pathChanged (or FsError::changed, until the public
  // operation turns it into that) when the folder or a parent of the item was
  // replaced while it worked.
  RestoreResult restoreLocked(const HeldFolder& folder, const std::optional<std::string>& relativePath,
                              const Checkpoint& checkpoint, const CheckpointStore& store,
                              OperationControl* control) const;
  // Renames the entry current of directory to name + " (replaced by Redomark)"
  // (or the first free numbered variant), never over anything, then with trash
  // sends it to the Trash. Returns where the item ended up; never fails.
  static std::string moveAside(const DirectoryHandle& directory, const std::string& current, const std::string& name,
                               bool trash);
  // Syncs directory's file system, so that what moveAside did (and the
  // Trash's info file) is on disk before the report; never fails.
  static void syncMovedAside(const DirectoryHandle& directory);

  HeldFolder holdFolderToSave(const std::string& folder, const std::string& canonical,
                              const CheckpointStore& store) const;
  RestoreResult putBackLocked(const HeldFolder& folder, const std::string& relativePath, const Checkpoint& checkpoint,
                              const CheckpointStore& store, OperationControl* control) const;
  // Moves an item added since the checkpoint aside; false when it is gone.
  bool takeAway(const HeldFolder& folder, const std::string& relativePath) const;
  // Puts the clone in the place of name, never over something that appeared
  // there meanwhile; returns where the item it replaced went.
  std::optional<std::string> placeClone(const DirectoryHandle& directory, TemporaryClone& clone,
                                        const std::string& name, bool expectNothing) const;

  std::string defaultStoreRoot_;
  SafetyPolicy policy_;
  bool trashReplaced_ = true;
};

}  // namespace redomark
