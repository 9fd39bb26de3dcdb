// Pruning old checkpoints after a save, and the settings file it reads.
#pragma once

#include <string>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/retention_policy.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

// "settings.json" beside the default store root; defaults when missing or invalid.
RetentionPolicy loadSettings(const std::string& defaultStoreRoot);
// Throws std::system_error when the file cannot be written.
void saveSettings(const RetentionPolicy& policy, const std::string& defaultStoreRoot);

// The checkpoints deleted, in deletion order. Never fails. now is seconds since the epoch.
std::vector<Checkpoint> prune(const CheckpointStore& store, const RetentionPolicy& policy,
                              const std::string& folder, double now);

}  // namespace redomark
