// Pruning old checkpoints after a save.
#pragma once

#include <string>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/retention_policy.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

// Which checkpoints of one folder's list (oldest first) its own limits let go
// at now (seconds since the epoch), in list order: never its newest, the
// newest of each kind, the newest the policy keeps per folder, on its timeline
// or as undo points of a restore. Depends on nothing but its arguments.
std::vector<Checkpoint> chosenToPrune(const std::vector<Checkpoint>& list, const RetentionPolicy& policy, double now);

// Deletes what chosenToPrune gives up, then, under a byte budget, the oldest
// unprotected checkpoints of any folder until the store fits.
// The checkpoints deleted, in deletion order. Never fails. now is seconds since the epoch.
std::vector<Checkpoint> prune(const CheckpointStore& store, const RetentionPolicy& policy,
                              const std::string& folder, double now);

}  // namespace redomark
