#include "core/store/retention.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "core/records/unicode_text.h"
#include "core/store/folder_lock.h"
#include "core/store/timeline.h"

namespace redomark {

namespace {

// More than a copy's inode, name and extent records and its line in the
// manifest take on either file system, even doubled by the metadata profile.
constexpr int64_t recordBoundPerFile = 8192;

constexpr double secondsPerDay = 86400;
constexpr int64_t keptBeforeRestore = 2;

// Ids compared as canonically equivalent text.
class IdSet {
 public:
  void add(const std::string& id) { ids_.insert(toNFC(id)); }
  void remove(const std::string& id) { ids_.erase(toNFC(id)); }
  bool contains(const std::string& id) const { return ids_.contains(toNFC(id)); }

 private:
  std::set<std::string> ids_;
};

// The latest checkpoint of one folder's list (oldest first) and the latest of
// each kind; none of them is ever pruned.
void addProtected(const std::vector<const Checkpoint*>& list, IdSet& out) {
  if (list.empty()) return;
  out.add(list.back()->id);
  std::set<Checkpoint::Kind> seen;
  for (auto it = list.rbegin(); it != list.rend() && seen.size() < 3; ++it) {
    if (seen.insert((*it)->kind).second) out.add((*it)->id);
  }
}

std::vector<const Checkpoint*> pointers(const std::vector<Checkpoint>& list) {
  std::vector<const Checkpoint*> out;
  out.reserve(list.size());
  for (const Checkpoint& c : list) out.push_back(&c);
  return out;
}

// The last count elements of list that have the given kind.
void addNewestOfKind(const std::vector<Checkpoint>& list, Checkpoint::Kind kind, int64_t count, IdSet& out) {
  for (auto it = list.rbegin(); it != list.rend() && count > 0; ++it) {
    if (it->kind != kind) continue;
    out.add(it->id);
    --count;
  }
}

IdSet protectedIn(const std::vector<Checkpoint>& list) {
  IdSet ids;
  addProtected(pointers(list), ids);
  return ids;
}

// Deletes what the folder's own limits let go.
void pruneFolder(const CheckpointStore& store, const RetentionPolicy& policy, const std::vector<Checkpoint>& list,
                 double now, std::vector<Checkpoint>& removed) {
  for (const Checkpoint& c : chosenToPrune(list, policy, now)) {
    try {
      store.deleteCheckpoint(c);
      removed.push_back(c);
    } catch (const std::exception&) {
      // Left for the next save's pruning.
    }
  }
}

// Another folder's checkpoint is deleted only under that folder's lock, so
// that a restore or put back reading it never sees it go; a busy folder is
// passed over this time. The caller holds folder's own lock. False when it
// was not deleted.
bool deleteUnderLock(const CheckpointStore& store, const Checkpoint& c, const std::string& folder) {
  try {
    if (c.sourcePath == folder) {
      store.deleteCheckpoint(c);
      return true;
    }
    return tryWithFolderLock(store, c.sourcePath, [&] { store.deleteCheckpoint(c); });
  } catch (const std::exception&) {
    return false;
  }
}

// The store-wide byte budget: oldest unprotected checkpoints of any folder go
// until the space they alone hold fits.
void pruneToBudget(const CheckpointStore& store, int64_t budget, const std::string& folder, IdSet protectedIds,
                   std::vector<Checkpoint>& removed) {
  std::vector<Checkpoint> all = store.allCheckpoints();
  int64_t recorded = 0;
  for (const Checkpoint& c : all) recorded += c.totalBytes + c.fileCount * recordBoundPerFile;
  // Recorded sizes, with a generous allowance for each copy's records and
  // manifest line, bound the real use from above: when they fit, no tree is walked.
  if (recorded <= budget) return;

  std::map<std::string, std::vector<const Checkpoint*>> byFolder;
  for (const Checkpoint& c : all) byFolder[c.sourcePath].push_back(&c);
  for (const auto& [folder, list] : byFolder) addProtected(list, protectedIds);

  int64_t used = 0;
  for (const Checkpoint& c : all) used += store.uniqueBytes(c);
  while (used > budget) {
    auto victim = std::find_if(all.begin(), all.end(), [&](const Checkpoint& c) { return !protectedIds.contains(c.id); });
    if (victim == all.end()) return;
    // Measured again now: deleting others may have left this one the only holder of its data.
    const int64_t bytes = store.uniqueBytes(*victim);
    if (deleteUnderLock(store, *victim, folder)) {
      removed.push_back(*victim);
      used -= bytes;
    } else {
      protectedIds.add(victim->id);
      continue;
    }
    const std::string id = toNFC(victim->id);
    std::erase_if(all, [&](const Checkpoint& c) { return toNFC(c.id) == id; });
  }
}

}  // namespace

std::vector<Checkpoint> chosenToPrune(const std::vector<Checkpoint>& list, const RetentionPolicy& policy, double now) {
  const IdSet protectedIds = protectedIn(list);
  IdSet keep = protectedIds;
  addNewestOfKind(list, Checkpoint::Kind::manual, policy.keepPerFolder, keep);
  addNewestOfKind(list, Checkpoint::Kind::beforeRestore, keptBeforeRestore, keep);
  for (const std::string& id : keptOnTimeline(list, policy)) keep.add(id);
  if (policy.maxAgeDays) {
    const double cutoff = now - static_cast<double>(*policy.maxAgeDays) * secondsPerDay;
    for (const Checkpoint& c : list)
      if (c.createdAt < cutoff && !protectedIds.contains(c.id)) keep.remove(c.id);
  }
  std::vector<Checkpoint> chosen;
  for (const Checkpoint& c : list)
    if (!keep.contains(c.id)) chosen.push_back(c);
  return chosen;
}

std::vector<Checkpoint> prune(const CheckpointStore& store, const RetentionPolicy& policy, const std::string& folder,
                              double now) {
  std::vector<Checkpoint> removed;
  try {
    const std::vector<Checkpoint> list = store.checkpoints(folder);
    pruneFolder(store, policy, list, now, removed);
    if (policy.maxTotalBytes) pruneToBudget(store, *policy.maxTotalBytes, folder, protectedIn(list), removed);
  } catch (const std::exception&) {
    // Pruning never fails a save; what was removed so far is still reported.
  }
  return removed;
}

}  // namespace redomark
