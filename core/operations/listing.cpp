#include <algorithm>
#include <unordered_map>

#include "core/fs/safety_policy.h"
#include "core/operations/redomark.h"
#include "core/records/unicode_text.h"

namespace redomark {

std::vector<Checkpoint> Redomark::listCheckpoints(const std::string& folder) const {
  const std::string canonical = canonicalPath(folder);
  return storeFor(canonical).checkpoints(canonical);
}

std::vector<FolderSummary> Redomark::listFolders() const {
  const CheckpointStore store(defaultStoreRoot_);
  std::vector<FolderSummary> summaries;
  std::unordered_map<std::string, size_t> indexByFolder;  // keyed by the NFC form of sourcePath
  for (Checkpoint& c : store.allCheckpoints()) {
    auto [it, isNew] = indexByFolder.try_emplace(toNFC(c.sourcePath), summaries.size());
    if (isNew) summaries.push_back(FolderSummary{c.sourcePath, {}});
    summaries[it->second].checkpoints.push_back(std::move(c));
  }
  // allCheckpoints is oldest first, so each group already is, and its last is its newest.
  std::stable_sort(summaries.begin(), summaries.end(), [](const FolderSummary& a, const FolderSummary& b) {
    return a.checkpoints.back().createdAt > b.checkpoints.back().createdAt;
  });
  return summaries;
}

int64_t Redomark::spaceUsed(const Checkpoint& checkpoint) const {
  return storeFor(checkpoint.sourcePath).uniqueBytes(checkpoint);
}

void Redomark::deleteCheckpoint(const Checkpoint& checkpoint) const {
  storeFor(checkpoint.sourcePath).deleteCheckpoint(checkpoint);
}

}  // namespace redomark
