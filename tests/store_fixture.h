// Builds store contents for the store's tests: checkpoint directories with
// their records, either record-only or holding a real clone of a folder.
#pragma once

#include <string>

#include "core/records/checkpoint.h"
#include "core/store/checkpoint_store.h"

namespace redomark::testing {

Checkpoint record(const std::string& folder, const std::string& id, double createdAt,
                  Checkpoint::Kind kind = Checkpoint::Kind::manual, int64_t totalBytes = 0);

// Publishes c in store with an empty "data" and its "meta.json".
Checkpoint publish(const CheckpointStore& store, const Checkpoint& c);

// Replaces the file's content with count fresh random bytes in new extents, flushed.
void rewriteFile(const std::string& path, size_t count);

std::vector<std::string> ids(const std::vector<Checkpoint>& list);

}  // namespace redomark::testing
