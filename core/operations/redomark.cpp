#include "core/operations/redomark.h"

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "core/fs/platform.h"
#include "core/fs/typed_path.h"
#include "core/store/fs_failure.h"
#include "core/store/retention.h"
#include "core/store/settings_file.h"

namespace redomark {

Redomark::Redomark(std::optional<std::string> storeRoot, SafetyPolicy policy)
    // Canonical, so that the store can be reached from "/" without following a link.
    : defaultStoreRoot_(canonicalPath(storeRoot ? *storeRoot : defaultStoreRootBelow(homeDirectory()))),
      policy_(std::move(policy)) {}

CheckpointStore Redomark::storeFor(const std::string& canonicalFolder) const try {
  return storeForFolder(nearestExisting(canonicalFolder), defaultStoreRoot_);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

LoadedSettings Redomark::loadSettings() const try {
  return redomark::loadSettings(defaultStoreRoot_);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

void Redomark::saveSettings(const RetentionPolicy& policy) const try {
  redomark::saveSettings(policy, defaultStoreRoot_);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
