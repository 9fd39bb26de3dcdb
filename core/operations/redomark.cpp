#include "core/operations/redomark.h"

#include "core/fs/file_ops.h"
#include "core/fs/platform.h"
#include "core/store/retention.h"

namespace redomark {

Redomark::Redomark(std::optional<std::string> storeRoot, SafetyPolicy policy)
    // Canonical, so that the store can be reached from "/" without following a link.
    : defaultStoreRoot_(canonicalPath(storeRoot ? *storeRoot : defaultStoreRootBelow(homeDirectory()))),
      policy_(std::move(policy)) {}

CheckpointStore Redomark::storeFor(const std::string& canonicalFolder) const {
  return storeForFolder(nearestExistingAncestor(canonicalFolder), defaultStoreRoot_);
}

LoadedSettings Redomark::loadSettings() const { return redomark::loadSettings(defaultStoreRoot_); }

void Redomark::saveSettings(const RetentionPolicy& policy) const {
  redomark::saveSettings(policy, defaultStoreRoot_);
}

std::string Redomark::nearestExistingAncestor(const std::string& path) {
  std::string candidate = path;
  while (!pathExists(candidate)) {
    if (candidate == "/" || candidate.empty()) return "/";
    candidate = parentPath(candidate);
  }
  return candidate;
}

}  // namespace redomark
