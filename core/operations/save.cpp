#include <algorithm>
#include <chrono>
#include <utility>

#include "core/fs/clone_engine.h"
#include "core/fs/file_ops.h"
#include "core/fs/volume.h"
#include "core/fs/walker.h"
#include "core/operations/manifest_index.h"
#include "core/operations/redomark.h"
#include "core/records/record_coding.h"
#include "core/records/redomark_error.h"
#include "core/store/folder_lock.h"
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
};

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void requireCloningVolume(const VolumeInfo& volume) {
  const std::string& type = volume.fsType;
  if (type != "btrfs" && type != "xfs" && type != "bcachefs")
    throw RedomarkError::unsupportedVolume("it is " + type + ", not Btrfs or XFS");
  if (!volume.canClone || !volume.canSwap) throw RedomarkError::unsupportedVolume("it can't clone or swap folders");
}

// The first walk: what the folder holds, refusing what a clone cannot carry.
FolderScan scanFolder(const std::string& folder, const VolumeInfo& volume, OperationControl* control) {
  if (control) control->reportNow({OperationProgress::Phase::scanning, 0, std::nullopt});
  FolderScan scan;
  std::vector<std::string> cloudOnly;
  walk(folder, control, [&](const WalkEntry& e) {
    if (e.dev != volume.device) throw RedomarkError::containsOtherVolume(folder + "/" + e.path);
    if (e.kind == EntryKind::other) throw RedomarkError::specialFile(folder + "/" + e.path);
    if (e.kind == EntryKind::file && (e.flags & datalessFlag)) cloudOnly.push_back(e.path);
    scan.totalBytes += e.size;
    scan.seen.push_back(ManifestEntry{e.path, e.kind, e.size, e.mtimeNs});
    if (control && scan.seen.size() % scanReportEvery == 0)
      control->report({OperationProgress::Phase::scanning, static_cast<int64_t>(scan.seen.size()), std::nullopt});
  });
  if (!cloudOnly.empty()) {
    std::sort(cloudOnly.begin(), cloudOnly.end());
    throw RedomarkError::cloudOnlyFiles(static_cast<int64_t>(cloudOnly.size()), std::move(cloudOnly));
  }
  return scan;
}

void requireSpace(const std::string& folder, size_t itemCount) {
  const int64_t needed = spaceReserveBytes + spacePerItemBytes * static_cast<int64_t>(itemCount);
  const int64_t available = availableSpace(folder);
  if (available < needed) throw RedomarkError::notEnoughSpace(needed, available);
}

// The second walk, over the copy: the manifest, written to manifestPath as
// the walk goes, and what differs from the first walk.
SavedTree readSavedTree(const std::string& data, const std::string& manifestPath, const std::vector<ManifestEntry>& seen,
                        OperationControl* control) {
  SavedTree tree;
  OutputFile file(manifestPath);
  ManifestEncoder manifest([&](std::string_view piece) { file.write(piece); });
  ManifestIndex index(seen, false);
  walk(data, control, [&](const WalkEntry& e) {
    manifest.add(e.path, e.kind, e.size, e.mtimeNs);
    if (e.kind != EntryKind::directory) ++tree.fileCount;
    if (tree.changed.size() >= maxChangedWhileSaving) return;
    const size_t at = index.claim(e.path);
    const bool same = at != ManifestIndex::npos && seen[at].kind == e.kind &&
                      (e.kind == EntryKind::directory || (seen[at].size == e.size && seen[at].mtimeNs == e.mtimeNs));
    if (!same) tree.changed.push_back(e.path);
  });
  manifest.finish();
  file.close();
  return tree;
}

// Removes a checkpoint directory being built unless it was published, and the
// folder's store directory when nothing but the lock file is left in it.
class PartialDirectory {
 public:
  PartialDirectory(std::string path, std::string folderDirectory)
      : path_(std::move(path)), folderDirectory_(std::move(folderDirectory)) {
    createDirectories(path_, 0700);
  }
  PartialDirectory(const PartialDirectory&) = delete;
  PartialDirectory& operator=(const PartialDirectory&) = delete;
  ~PartialDirectory() {
    if (published_) return;
    try {
      removeTree(path_);
    } catch (...) {
      // Best effort: the next save of this folder removes leftovers.
    }
    removeIfOnlyLock(folderDirectory_);
  }

  const std::string& path() const { return path_; }
  void publish(const std::string& finalPath) {
    moveItem(path_, finalPath);
    published_ = true;
  }

 private:
  std::string path_;
  std::string folderDirectory_;
  bool published_ = false;  // once true the directory has its final name and stays
};

}  // namespace

Checkpoint Redomark::saveCheckpoint(const std::string& folder, const std::optional<std::string>& name,
                                    Checkpoint::Kind kind, OperationControl* control) const {
  const CheckpointStore store(storeRoot(canonicalPath(folder), defaultStoreRoot_));
  const std::string p = checkLocation(folder, store.root(), true, policy_);

  const VolumeInfo volume = readVolumeInfo(p);
  requireCloningVolume(volume);
  FolderScan scan = scanFolder(p, volume, control);
  requireSpace(p, scan.seen.size());

  store.ensureRoot();
  store.removeLeftovers(p);
  const std::string id = newCheckpointID();
  const std::string folderDirectory = store.folderDirectory(p);
  PartialDirectory partial(joinPath(folderDirectory, id + ".partial"), folderDirectory);

  const std::string data = partial.path() + "/data";
  const auto itemCount = static_cast<int64_t>(scan.seen.size());
  const CloneContext clone = cloneTree(p, data, itemCount, control);
  if (control) control->reportNow({OperationProgress::Phase::finishing, clone.files, itemCount});
  SavedTree tree = readSavedTree(data, partial.path() + "/manifest.json", scan.seen, control);
  scan.seen = {};

  Checkpoint checkpoint;
  checkpoint.id = id;
  checkpoint.name = name;
  checkpoint.kind = kind;
  checkpoint.sourcePath = p;
  checkpoint.createdAt = nowSeconds();
  checkpoint.fileCount = tree.fileCount;
  checkpoint.totalBytes = scan.totalBytes;
  checkpoint.notClonedCount = clone.files - clone.cloned;
  checkpoint.changedWhileSaving = std::move(tree.changed);

  writeWholeFile(partial.path() + "/meta.json", encodeStoreRecord(checkpoint));
  partial.publish(joinPath(folderDirectory, id));
  return checkpoint;
}

Checkpoint Redomark::save(const std::string& folder, const std::optional<std::string>& name,
                          OperationControl* control) const {
  const CheckpointStore store(storeRoot(canonicalPath(folder), defaultStoreRoot_));
  const std::string p = checkLocation(folder, store.root(), true, policy_);
  return withFolderLockResult(store, p, [&] { return saveCheckpoint(folder, name, Checkpoint::Kind::manual, control); });
}

SaveResult Redomark::saveAndPrune(const std::string& folder, const std::optional<std::string>& name,
                                  OperationControl* control) const {
  const CheckpointStore store(storeRoot(canonicalPath(folder), defaultStoreRoot_));
  const std::string p = checkLocation(folder, store.root(), true, policy_);
  return withFolderLockResult(store, p, [&] {
    SaveResult result;
    result.saved = saveCheckpoint(folder, name, Checkpoint::Kind::manual, control);
    result.removed = prune(store, loadSettings(), result.saved.sourcePath, nowSeconds());
    return result;
  });
}

}  // namespace redomark
