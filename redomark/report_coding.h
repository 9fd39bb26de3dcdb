// The JSON the command line prints for --json, byte for byte: pretty-printed,
// sorted keys, dates as ISO 8601 UTC without fractions, no line end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/record_coding.h"

namespace redomark {

// One folder of the folders report.
struct FolderReport {
  std::string path;
  int64_t count = 0;
  double latest = 0;  // createdAt of its newest checkpoint
  bool exists = false;
  std::optional<int64_t> spaceUsed;
};

// The checkpoints as list --json shows them.
std::string encodeReport(const std::vector<Checkpoint>& checkpoints);
// The same with "spaceUsed" in each element, from the count at its index.
std::string encodeReport(const std::vector<Checkpoint>& checkpoints, const std::vector<int64_t>& spaceUsed);
std::string encodeReport(const std::vector<Change>& changes);
std::string encodeReport(const std::vector<FolderReport>& folders);
// A save's checkpoint as list --json shows it, with "saved" and the ids of
// the checkpoints pruned after it as "removed".
std::string encodeSaveReport(const Checkpoint& checkpoint, bool saved, const std::vector<std::string>& removedIds);
// "kind" as "file", "directory", "symlink" or "other"; a name that isn't
// valid UTF-8 also as "nameBytes", its exact bytes in base64.
std::string encodeReport(const std::vector<ListedItem>& items);

}  // namespace redomark
