#include "core/records/json_reading.h"
#include "core/records/record_coding.h"
#include "core/records/record_kinds.h"

namespace redomark {
namespace {

enum CheckpointKey : unsigned {
  idKey = 1u << 0,
  kindKey = 1u << 1,
  sourcePathKey = 1u << 2,
  createdAtKey = 1u << 3,
  fileCountKey = 1u << 4,
  totalBytesKey = 1u << 5,
  notClonedCountKey = 1u << 6,
  changedWhileSavingKey = 1u << 7,
  everyCheckpointKey = (1u << 8) - 1,
};

Checkpoint::Kind checkpointKind(simdjson::dom::element value) {
  const auto kind = checkpointKindFromText(json::asString(value));
  if (!kind) json::failMalformed();
  return *kind;
}

std::vector<std::string> stringList(simdjson::dom::element value) {
  std::vector<std::string> list;
  for (auto item : json::asArray(value)) list.emplace_back(json::asString(item));
  return list;
}

enum EntryKey : unsigned {
  pathKey = 1u << 0,
  entryKindKey = 1u << 1,
  sizeKey = 1u << 2,
  mtimeKey = 1u << 3,
  everyEntryKey = (1u << 4) - 1,
};

// Reads one manifest object into a slot that already exists, so the walk over
// a large manifest allocates nothing beyond each entry's own path.
void readEntry(simdjson::dom::element value, ManifestEntry& entry) {
  unsigned seen = 0;
  for (auto [key, member] : json::asObject(value)) {
    if (key.size() != 1) continue;
    switch (key[0]) {
      case 'p':
        entry.path.assign(json::asString(member));
        seen |= pathKey;
        break;
      case 'k': {
        const auto kind = entryKindFromText(json::asString(member));
        if (!kind) json::failMalformed();
        entry.kind = *kind;
        seen |= entryKindKey;
        break;
      }
      case 's':
        entry.size = json::asInt64(member);
        seen |= sizeKey;
        break;
      case 'm':
        entry.mtimeNs = json::asInt64(member);
        seen |= mtimeKey;
        break;
    }
  }
  if (seen != everyEntryKey) json::failMissing();
}

}  // namespace

Checkpoint decodeStoreRecord(std::string_view text) {
  Checkpoint c;
  unsigned seen = 0;
  for (auto [key, value] : json::asObject(json::parse(text))) {
    if (key == "id") {
      c.id = json::asString(value);
      seen |= idKey;
    } else if (key == "name") {
      if (value.is_null())
        c.name.reset();
      else
        c.name = std::string(json::asString(value));
    } else if (key == "kind") {
      c.kind = checkpointKind(value);
      seen |= kindKey;
    } else if (key == "sourcePath") {
      c.sourcePath = json::asString(value);
      seen |= sourcePathKey;
    } else if (key == "createdAt") {
      // Seconds as a number only: a date written as text is refused.
      c.createdAt = json::asDouble(value);
      seen |= createdAtKey;
    } else if (key == "fileCount") {
      c.fileCount = json::asInt64(value);
      seen |= fileCountKey;
    } else if (key == "totalBytes") {
      c.totalBytes = json::asInt64(value);
      seen |= totalBytesKey;
    } else if (key == "notClonedCount") {
      c.notClonedCount = json::asInt64(value);
      seen |= notClonedCountKey;
    } else if (key == "changedWhileSaving") {
      c.changedWhileSaving = stringList(value);
      seen |= changedWhileSavingKey;
    }
  }
  if (seen != everyCheckpointKey) json::failMissing();
  return c;
}

std::vector<ManifestEntry> decodeManifest(std::string_view text) {
  const auto array = json::asArray(json::parse(text));
  // The parser's count saturates at 2^24 - 1, so a larger manifest grows past it.
  std::vector<ManifestEntry> entries(array.size());
  size_t i = 0;
  for (auto value : array) {
    if (i == entries.size()) entries.emplace_back();
    readEntry(value, entries[i++]);
  }
  return entries;
}

}  // namespace redomark
