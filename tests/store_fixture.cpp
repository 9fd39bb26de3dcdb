#include "tests/store_fixture.h"

#include "core/records/record_coding.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {

Checkpoint record(const std::string& folder, const std::string& id, double createdAt, Checkpoint::Kind kind,
                  int64_t totalBytes) {
  Checkpoint c;
  c.id = id;
  c.kind = kind;
  c.sourcePath = folder;
  c.createdAt = createdAt;
  c.totalBytes = totalBytes;
  return c;
}

Checkpoint publish(const CheckpointStore& store, const Checkpoint& c) {
  createDirectories(store.dataDirectory(c), 0700);
  writeFile(store.checkpointDirectory(c) + "/meta.json", encodeStoreRecord(c));
  return c;
}

std::vector<std::string> ids(const std::vector<Checkpoint>& list) {
  std::vector<std::string> out;
  for (const Checkpoint& c : list) out.push_back(c.id);
  return out;
}

}  // namespace redomark::testing
