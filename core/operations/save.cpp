#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "core/fs/clone_engine.h"
#include "core/fs/file_records.h"
#include "core/fs/held_folder.h"
#include "core/fs/mount_table.h"
#include "core/fs/output_file.h"
#include "core/fs/platform.h"
#include "core/fs/subvolume.h"
#include "core/fs/typed_path.h"
#include "core/fs/volume.h"
#include "core/fs/walker.h"
#include "core/operations/location_check.h"
#include "core/operations/manifest_index.h"
#include "core/operations/redomark.h"
#include "core/operations/temporary_clone.h"
#include "core/records/record_coding.h"
#include "core/records/redomark_error.h"
#include "core/records/unicode_text.h"
#include "core/store/folder_lock.h"
#include "core/store/fs_failure.h"
#include "core/store/retention.h"

namespace redomark {

namespace {

constexpr int64_t spaceReserveBytes = 64 * 1024 * 1024;
constexpr int64_t spacePerItemBytes = 2048;
constexpr size_t scanReportEvery = 2048;
constexpr size_t maxChangedWhileSaving = 100;
constexpr uint32_t datalessFlag = 0x40000000;

struct FolderScan {
  std::vector<ManifestEntry> seen;  // in walk order
  int64_t totalBytes = 0;
};

struct SavedTree {
  int64_t fileCount = 0;  // items other than directories
  std::vector<std::string> changed;
  int64_t recordBytes = 0;  // the file system's records of the copies, estimated
};

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void requireCloningVolume(const VolumeInfo& volume) {
  const std::string& type = volume.fsType;
  if (!isCloningFileSystem(type))
    throw RedomarkError::unsupportedVolume("it is " + type + ", not " + cloningFileSystemNames());
  if (!volume.canClone || !volume.canSwap) throw RedomarkError::unsupportedVolume("it can't clone or swap folders");
}

// The first walk: what the folder holds, refusing what a clone cannot carry.
FolderScan scanFolder(const DirectoryHandle& folder, const VolumeInfo& volume, OperationControl* control) {
  if (control) control->reportNow({OperationProgress::Phase::scanning, 0, std::nullopt});
  FolderScan scan;
  std::vector<std::string> cloudOnly;
  walk(
      folder, control,
      [&](const WalkEntry& e) {
        if (e.mountRoot) throw RedomarkError::containsOtherVolume(folder.path() + "/" + e.path);
        if (e.dev != volume.device) {
          // Without a mount of its own, a nested subvolume shows only by its device number.
          if (e.kind == EntryKind::directory && isSubvolumeRoot(volume, e.inode))
            throw RedomarkError::containsSubvolume(folder.path() + "/" + e.path);
          throw RedomarkError::containsOtherVolume(folder.path() + "/" + e.path);
        }
        if (e.kind == EntryKind::other) throw RedomarkError::specialFile(folder.path() + "/" + e.path);
        if (e.kind == EntryKind::file && (e.flags & datalessFlag)) cloudOnly.push_back(e.path);
        scan.totalBytes += e.size;
        scan.seen.push_back(ManifestEntry{e.path, e.kind, e.size, e.mtimeNs});
        if (control && scan.seen.size() % scanReportEvery == 0)
          control->report({OperationProgress::Phase::scanning, static_cast<int64_t>(scan.seen.size()), std::nullopt});
      },
      WalkPace::openAhead);
  if (!cloudOnly.empty()) {
    std::sort(cloudOnly.begin(), cloudOnly.end());
    throw RedomarkError::cloudOnlyFiles(static_cast<int64_t>(cloudOnly.size()), std::move(cloudOnly));
  }
  return scan;
}

// The free space a save needs before it starts, which every file it has to
// copy must also leave free; returned for that.
int64_t requireSpace(const DirectoryHandle& folder, size_t itemCount) {
  const int64_t needed = spaceReserveBytes + spacePerItemBytes * static_cast<int64_t>(itemCount);
  const int64_t available = availableSpace(folder);
  if (available < needed) throw RedomarkError::notEnoughSpace(needed, available);
  return needed;
}

// What the copy holds, told by the clone as it makes each item rather than
// read back by a second walk: the manifest, written into the checkpoint
// directory as the copy goes, and what differs from the first walk.
class SavedTreeRecorder {
 public:
  SavedTreeRecorder(const DirectoryHandle& checkpoint, const std::vector<ManifestEntry>& seen)
      : seen_(seen),
        file_(checkpoint, "manifest.json", 0600),
        manifest_([this](std::string_view piece) { file_.write(piece); }),
        index_(seen),
        geometry_(readRecordGeometry(checkpoint)),
        visitor_([this](const CopiedItem& item) { add(item); }) {}

  const CopiedItemVisitor* visitor() const { return &visitor_; }
  SavedTree finish() {
    manifest_.finish();
    file_.close();
    tree_.recordBytes = recordBytes(geometry_, items_);
    return std::move(tree_);
  }

 private:
  void add(const CopiedItem& item) {
    manifest_.add(item.path, item.kind, item.size, item.mtimeNs);
    const size_t slash = item.path.rfind('/');
    tallyEntry(items_, geometry_, slash == std::string_view::npos ? item.path : item.path.substr(slash + 1), item.kind,
               item.size);
    if (item.kind != EntryKind::directory) ++tree_.fileCount;
    if (tree_.changed.size() >= maxChangedWhileSaving) return;
    const size_t at = index_.claim(item.path);
    if (at == ManifestIndex::npos || !isUnchanged(seen_[at], item)) tree_.changed.emplace_back(item.path);
  }

  const std::vector<ManifestEntry>& seen_;
  OutputFile file_;
  ManifestEncoder manifest_;
  ManifestIndex index_;
  const RecordGeometry geometry_;
  ItemTally items_;
  SavedTree tree_;
  const CopiedItemVisitor visitor_;
};

// Mount points strictly inside the folder, relative to it: a snapshot shows
// the directory a mount covers, so they are learned from the mount table.
std::vector<std::string> mountsInside(const std::string& folder) {
  std::vector<std::string> inside;
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  for (const MountEntry& m : currentMounts())
    if (m.mountPoint.size() > prefix.size() && m.mountPoint.starts_with(prefix))
      inside.push_back(m.mountPoint.substr(prefix.size()));
  std::sort(inside.begin(), inside.end());
  return inside;
}

// The one walk of a snapshot save, over the read-only snapshot: the manifest,
// and every refusal the walk of the live folder would have made.
struct SnapshotScan {
  size_t items = 0;
  int64_t fileCount = 0;  // items other than directories
  int64_t totalBytes = 0;
};

SnapshotScan readSnapshot(const DirectoryHandle& checkpoint, const std::string& folder, OperationControl* control) {
  const FsResult<DirectoryHandle> data = checkpoint.child("data");
  if (!data) throw fsFailure(data.error());
  const std::vector<std::string> mounts = mountsInside(folder);
  SnapshotScan scan;
  OutputFile file(checkpoint, "manifest.json", 0600);
  ManifestEncoder manifest([&](std::string_view piece) { file.write(piece); });
  walk(
      *data, control,
      [&](const WalkEntry& e) {
        if (std::binary_search(mounts.begin(), mounts.end(), e.path))
          throw RedomarkError::containsOtherVolume(folder + "/" + e.path);
        if (e.kind == EntryKind::directory && isNestedSubvolumeStub(e.inode))
          throw RedomarkError::containsSubvolume(folder + "/" + e.path);
        if (e.kind == EntryKind::other) throw RedomarkError::specialFile(folder + "/" + e.path);
        manifest.add(e.path, e.kind, e.size, e.mtimeNs);
        if (e.kind != EntryKind::directory) ++scan.fileCount;
        scan.totalBytes += e.size;
        if (control && ++scan.items % scanReportEvery == 0)
          control->report({OperationProgress::Phase::scanning, static_cast<int64_t>(scan.items), std::nullopt});
      },
      WalkPace::openAhead);
  manifest.finish();
  file.close();
  return scan;
}

// A checkpoint directory being built in the folder's store directory, removed
// unless it was published, with the folder's store directory when nothing but
// the lock file is left in it.
// A checkpoint's directory while it is being saved, named id + ".partial" so
// that no reader takes it for a checkpoint; removed with everything in it
// unless it is published under its id.
class PartialDirectory {
 public:
  PartialDirectory(const CheckpointStore& store, const std::string& sourcePath, const DirectoryHandle& folderDirectory,
                   const std::string& id)
      : store_(store),
        sourcePath_(sourcePath),
        folderDirectory_(folderDirectory),
        name_(id + ".partial"),
        directory_(folderDirectory.makePrivateDirectory(name_)) {}
  PartialDirectory(const PartialDirectory&) = delete;
  PartialDirectory& operator=(const PartialDirectory&) = delete;
  ~PartialDirectory() {
    if (published_) return;
    try {
      folderDirectory_.removeTree(name_);
    } catch (...) {
      // Best effort: the next save of this folder removes leftovers.
    }
    store_.removeFolderDirectoryIfOnlyLock(sourcePath_);
  }

  const DirectoryHandle& directory() const { return directory_; }
  // Renames it to id, never over an existing checkpoint of the same id. What
  // is published must survive a power loss: its files, clones and records are
  // committed before the rename, the rename before the report.
  void publish(const std::string& id) {
    folderDirectory_.syncFileSystem();
    if (const FsStatus moved = folderDirectory_.moveWithoutReplacing(name_, folderDirectory_, id); !moved)
      throw fsFailure(moved.code(), FsOperation::move, directory_.path());
    published_ = true;
    folderDirectory_.sync();
  }

 private:
  const CheckpointStore& store_;
  const std::string& sourcePath_;
  const DirectoryHandle& folderDirectory_;
  std::string name_;
  DirectoryHandle directory_;
  bool published_ = false;  // once true the directory has its final name and stays
};

Checkpoint newRecord(const std::string& id, const std::optional<std::string>& name, Checkpoint::Kind kind,
                     const std::string& sourcePath) {
  Checkpoint checkpoint;
  checkpoint.id = id;
  if (name) checkpoint.name = repairUtf8(*name);  // as the record will hold it
  checkpoint.kind = kind;
  checkpoint.sourcePath = sourcePath;
  checkpoint.createdAt = nowSeconds();
  return checkpoint;
}

std::string freeCheckpointID(const DirectoryHandle& folderDirectory) {
  // Many saves of one folder in a second can draw the same suffix; under the
  // folder lock nobody else can take the id once it is seen free.
  std::string id = Redomark::newCheckpointID();
  while (folderDirectory.status(id) || folderDirectory.status(id + ".partial")) id = Redomark::newCheckpointID();
  return id;
}

// A subvolume folder whose store shares its file system is saved whole by a
// read-only snapshot, in the same time whatever it holds. Nothing when the
// kernel won't snapshot it for this process (a subvolume of another user's,
// say): the folder is then saved file by file.
std::optional<Checkpoint> saveBySnapshot(const HeldFolder& folder, const DirectoryHandle& source,
                                         const CheckpointStore& store, const DirectoryHandle& root,
                                         const std::optional<std::string>& name, Checkpoint::Kind kind,
                                         OperationControl* control) {
  const std::string& p = folder.path();
  if (control) control->reportNow({OperationProgress::Phase::scanning, 0, std::nullopt});
  store.removeLeftovers(p);
  const DirectoryHandle folderDirectory = store.ensureFolderDirectory(root, p);
  const std::string id = freeCheckpointID(folderDirectory);
  PartialDirectory partial(store, p, folderDirectory, id);
  if (const int code = snapshotSubvolume(source, partial.directory(), "data", true); code != 0) {
    if (code == EPERM || code == EACCES || code == EXDEV || code == ENOTTY || code == EOPNOTSUPP) return std::nullopt;
    throw RedomarkError::copyFailed(p, code);
  }
  const SnapshotScan scan = readSnapshot(partial.directory(), p, control);
  requireSpace(source, scan.items);
  if (control) control->reportNow({OperationProgress::Phase::finishing, scan.fileCount, scan.fileCount});

  Checkpoint checkpoint = newRecord(id, name, kind, p);
  checkpoint.fileCount = scan.fileCount;
  checkpoint.totalBytes = scan.totalBytes;
  // Nothing can change while a snapshot is taken, and it shares every file.
  checkpoint.notClonedCount = 0;
  partial.directory().writeNewFile("meta.json", encodeStoreRecord(checkpoint), 0600);
  partial.publish(id);
  return checkpoint;
}

}  // namespace

void Redomark::removeLeftoverClones(const CheckpointStore& store, const HeldFolder& folder) const {
  removeTemporaryLeftovers(store, folder,
                           [&](const DirectoryHandle& d, const std::string& current, const std::string& name) {
                             moveAside(d, current, name, trashReplaced_);
                             syncMovedAside(d);
                           });
}

Checkpoint Redomark::saveCheckpoint(const HeldFolder& folder, const CheckpointStore& store,
                                    const std::optional<std::string>& name, Checkpoint::Kind kind,
                                    OperationControl* control, int64_t* recordBytes) const {
  const std::string& p = folder.path();
  const DirectoryHandle source = folder.open();
  const VolumeInfo volume = readVolumeInfo(source);
  requireCloningVolume(volume);
  if (isSubvolume(source)) {
    const DirectoryHandle root = store.ensureRoot();
    if (sameFileSystem(volume, readVolumeInfo(root)))
      if (std::optional<Checkpoint> saved = saveBySnapshot(folder, source, store, root, name, kind, control))
        return std::move(*saved);
  }
  FolderScan scan = scanFolder(source, volume, control);
  const int64_t reserveBytes = requireSpace(source, scan.seen.size());

  const DirectoryHandle root = store.ensureRoot();
  store.removeLeftovers(p);
  const DirectoryHandle folderDirectory = store.ensureFolderDirectory(root, p);
  const std::string id = freeCheckpointID(folderDirectory);
  PartialDirectory partial(store, p, folderDirectory, id);

  const auto itemCount = static_cast<int64_t>(scan.seen.size());
  SavedTreeRecorder recorder(partial.directory(), scan.seen);
  const CloneContext clone =
      cloneDirectory(source, partial.directory(), "data", itemCount, control, reserveBytes, recorder.visitor());
  if (control) control->reportNow({OperationProgress::Phase::finishing, clone.files, itemCount});
  SavedTree tree = recorder.finish();
  scan.seen = {};

  Checkpoint checkpoint = newRecord(id, name, kind, p);
  checkpoint.fileCount = tree.fileCount;
  checkpoint.totalBytes = scan.totalBytes;
  checkpoint.notClonedCount = clone.files - clone.cloned;
  checkpoint.changedWhileSaving = std::move(tree.changed);
  if (recordBytes) *recordBytes = tree.recordBytes;

  partial.directory().writeNewFile("meta.json", encodeStoreRecord(checkpoint), 0600);
  partial.publish(id);
  return checkpoint;
}

// The folder of a save: canonical, allowed, and a directory held as checked.
HeldFolder Redomark::holdFolderToSave(const std::string& folder, const std::string& canonical,
                                      const CheckpointStore& store) const {
  std::string p;
  try {
    p = checkLocation(folder, store.root(), true, policy_);
  } catch (const RedomarkError& refused) {
    // A mount's root holds its volume's store; on a disk that can't hold one
    // (proc, tmpfs) the disk is the cause to name.
    if (refused.errorCase() == RedomarkError::Case::containsStore) requireCloningVolume(readVolumeInfo(canonical));
    throw;
  }
  // The store was chosen for the path as first resolved; resolving the given
  // text again could lead through a link planted meanwhile.
  if (p != canonical) throw RedomarkError::pathChanged(canonical);
  // Every record names the folder in JSON text, which can't hold its bytes.
  if (!isValidUtf8(p)) throw RedomarkError::invalidFolderName(p);
  HeldFolder held = HeldFolder::hold(p, false);
  if (!held.isDirectory()) throw RedomarkError::pathChanged(p);
  // Judged before the lock makes a store, so that a refused disk gets none.
  requireCloningVolume(readVolumeInfo(held.open()));
  return held;
}

Checkpoint Redomark::save(const std::string& folder, const std::optional<std::string>& name,
                          OperationControl* control) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeForFolder(canonical, defaultStoreRoot_);
  const HeldFolder held = holdFolderToSave(folder, canonical, store);
  return withFolderLockResult(store, held.path(), [&] {
    removeLeftoverClones(store, held);
    return saveCheckpoint(held, store, name, Checkpoint::Kind::manual, control);
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

SaveResult Redomark::saveAndPrune(const std::string& folder, const std::optional<std::string>& name,
                                  OperationControl* control) const {
  return saveAndPrune(folder, SaveRequest{.name = name}, control);
}

SaveResult Redomark::saveAndPrune(const std::string& folder, const SaveRequest& request,
                                  OperationControl* control) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeForFolder(canonical, defaultStoreRoot_);
  const HeldFolder held = holdFolderToSave(folder, canonical, store);
  return withFolderLockResult(store, held.path(), [&] {
    SaveResult result;
    result.settings = loadSettings();
    if (request.onlyIfChanged) {
      // Compared under the lock, so no other save can slip in between.
      const std::vector<Checkpoint> list = store.checkpoints(held.path());
      if (!list.empty() && computeChanges(held.path(), latestUndoPoint(list), store).empty()) {
        result.saved = latestUndoPoint(list);
        result.unchanged = true;
        return result;
      }
    }
    removeLeftoverClones(store, held);
    result.saved = saveCheckpoint(held, store, request.name, request.kind, control, &result.recordBytes);
    result.removed = prune(store, result.settings.policy, result.saved.sourcePath, nowSeconds());
    return result;
  });
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
