#include <algorithm>
#include <set>
#include <unordered_map>
#include <utility>

#include "core/fs/directory_handle.h"
#include "core/fs/item_status.h"
#include "core/fs/mount_table.h"
#include "core/fs/platform.h"
#include "core/fs/typed_path.h"
#include "core/operations/redomark.h"
#include "core/records/unicode_text.h"
#include "core/store/fs_failure.h"

namespace redomark {
namespace {

// The default store, then the user's store at each mounted Btrfs or XFS
// volume, where the saves of folders on other volumes go.
std::vector<std::string> storeRootsToList(const std::string& defaultRoot) {
  std::vector<std::string> roots{defaultRoot};
  for (const MountEntry& mount : currentMounts()) {
    if (isCloningFileSystem(mount.fsType)) roots.push_back(volumeStoreRoot(mount.mountPoint));
  }
  return roots;
}

// Every checkpoint of every store, each store read once however many mounts
// lead to it, oldest first.
std::vector<Checkpoint> checkpointsOfAllStores(const std::string& defaultRoot) {
  std::vector<Checkpoint> all;
  std::set<std::pair<uint64_t, uint64_t>> storesRead;
  for (const std::string& root : storeRootsToList(defaultRoot)) {
    const FsResult<DirectoryHandle> store = DirectoryHandle::open(root);
    // Another user's directory could hold records that name any folder.
    if (!store || !store->isPrivate()) continue;
    const FsResult<ItemStatus> facts = store->status("");
    if (!facts || !storesRead.emplace(facts->device, facts->inode).second) continue;
    for (Checkpoint& c : CheckpointStore::allCheckpoints(*store)) all.push_back(std::move(c));
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Checkpoint& a, const Checkpoint& b) { return a.createdAt < b.createdAt; });
  return all;
}

}  // namespace

std::vector<Checkpoint> Redomark::listCheckpoints(const std::string& folder) const try {
  const std::string canonical = canonicalPath(folder);
  return storeFor(canonical).checkpoints(canonical);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

std::vector<FolderSummary> Redomark::listFolders() const {
  std::vector<FolderSummary> summaries;
  std::unordered_map<std::string, size_t> indexByFolder;  // keyed by sourcePath
  for (Checkpoint& c : checkpointsOfAllStores(defaultStoreRoot_)) {
    auto [it, isNew] = indexByFolder.try_emplace(c.sourcePath, summaries.size());
    if (isNew) summaries.push_back(FolderSummary{c.sourcePath, {}});
    summaries[it->second].checkpoints.push_back(std::move(c));
  }
  // The list is oldest first, so each group already is, and its last is its newest.
  std::stable_sort(summaries.begin(), summaries.end(), [](const FolderSummary& a, const FolderSummary& b) {
    return a.checkpoints.back().createdAt > b.checkpoints.back().createdAt;
  });
  return summaries;
}

std::optional<Checkpoint> Redomark::lastBeforeRestore(const std::string& folder) const {
  const std::vector<Checkpoint> list = listCheckpoints(folder);
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->kind == Checkpoint::Kind::beforeRestore) return *it;
  return std::nullopt;
}

int64_t Redomark::spaceUsed(const Checkpoint& checkpoint) const try {
  return storeFor(checkpoint.sourcePath).uniqueBytes(checkpoint);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

std::vector<Checkpoint> Redomark::resolveCheckpoints(const std::string& folder,
                                                     const std::vector<std::string>& ids) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  std::vector<Checkpoint> found;
  for (const std::string& id : ids) {
    Checkpoint c = store.resolve(id, canonical);
    const bool named = std::any_of(found.begin(), found.end(), [&](const Checkpoint& f) { return f.id == c.id; });
    if (!named) found.push_back(std::move(c));
  }
  std::stable_sort(found.begin(), found.end(), [](const Checkpoint& a, const Checkpoint& b) {
    if (a.createdAt != b.createdAt) return a.createdAt < b.createdAt;
    return nfcLess(a.id, b.id);
  });
  return found;
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
