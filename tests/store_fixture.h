// Builds store contents for the store's tests: checkpoint directories with
// their records.
#pragma once

#include <string>

#include "core/records/checkpoint.h"
#include "core/store/checkpoint_store.h"

namespace redomark::testing {

Checkpoint record(const std::string& folder, const std::string& id, double createdAt,
                  Checkpoint::Kind kind = Checkpoint::Kind::manual, int64_t totalBytes = 0);

// Publishes c in store with its "meta.json" and, unless it exists, an empty "data".
Checkpoint publish(const CheckpointStore& store, const Checkpoint& c);

std::vector<std::string> ids(const std::vector<Checkpoint>& list);

}  // namespace redomark::testing
