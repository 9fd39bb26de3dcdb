// The JSON forms of the records, byte for byte: the store coding of
// "meta.json" and the compact coding of "manifest.json", and the checkpoint
// members the command line's reports share with the store coding. Decoding is strict: a missing required key,
// a wrong type or an unknown kind fails the whole document with JsonError.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/json_writer.h"

namespace redomark {

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Pretty-printed, sorted keys, " : ", "/" escaped, createdAt as seconds.
std::string encodeStoreRecord(const Checkpoint& checkpoint);
Checkpoint decodeStoreRecord(std::string_view json);

// Compact array of {"p","k","s","m"} objects in walk order.
std::string encodeManifest(const std::vector<ManifestEntry>& entries);

// The same text, entry by entry, handed to sink in pieces of about 64 KiB, so
// that a large manifest is never held whole.
class ManifestEncoder {
 public:
  using Sink = std::function<void(std::string_view)>;
  explicit ManifestEncoder(Sink sink);
  void add(std::string_view path, EntryKind kind, int64_t size, int64_t mtimeNs);
  // Closes the array and hands over the rest; add may not be called after it.
  void finish();

 private:
  JsonWriter out_;
  Sink sink_;
};
std::vector<ManifestEntry> decodeManifest(std::string_view json);

// A decoded manifest held compactly, for reading a large one quickly: every
// path's bytes in one buffer, the rest of each entry in a row of its own.
struct ManifestTable {
  struct Row {
    size_t pathOffset = 0;  // into paths
    uint32_t pathLength = 0;
    EntryKind kind = EntryKind::file;
    int64_t size = 0;
    int64_t mtimeNs = 0;
  };
  std::string paths;
  std::vector<Row> rows;

  std::string_view path(size_t i) const { return std::string_view(paths).substr(rows[i].pathOffset, rows[i].pathLength); }
  size_t size() const { return rows.size(); }
};

// The same reading of a manifest handed over in pieces of any size, holding
// only its entries and the text of the entries not yet read: the text is
// parsed a few hundred KiB of whole entries at a time. Refuses exactly what
// decodeManifest refuses, with the same error.
class ManifestDecoder {
 public:
  // Room for the entries of a text of this many bytes, made before the first
  // piece, so that a large table is never copied while it grows. Only the
  // part that is filled takes memory.
  void expect(size_t textBytes);
  // Only the entries of the relative path item and below it are wanted:
  // parts of a text this program wrote that hold none of them may be passed
  // over unparsed, and the entries of the parts read are all kept.
  void onlyWithin(std::string_view item);
  void add(std::string_view piece);
  // The entries, or JsonError; add may not be called after either.
  std::vector<ManifestEntry> finish();
  ManifestTable finishTable();

 private:
  std::string_view passOverUnwanted(std::string_view piece);
  void cutAtEntryStarts();
  void finishQuickCuts();
  void scan();
  void decodeChunk(size_t length, bool last);

  enum class State { beforeArray, inArray, afterArray };
  State state_ = State::beforeArray;
  // Text not yet decoded. In the array it begins with "[": the array's own, or
  // the separator after the last entry decoded, overwritten.
  std::string pending_;
  size_t scanned_ = 0;  // bytes of pending_ already scanned
  int depth_ = 0;       // of brackets open outside strings, the array's included
  bool inString_ = false;
  bool escaped_ = false;
  size_t chunks_ = 0;
  bool quickCuts_ = true;  // cutting only where an entry of ours starts, not scanning
  std::string wanted_;     // with onlyWithin: how the item's path begins in the text
  ManifestTable table_;
  // A wrong or missing member is reported only once the whole text is known
  // to be JSON, as a parser of the whole text would.
  std::optional<JsonError> entryError_;
};

// One item of a saved directory, as show lists it.
struct ListedItem {
  std::string name;  // exact bytes
  EntryKind kind = EntryKind::file;
  int64_t size = 0;  // bytes for a regular file, 0 otherwise
  int64_t mtimeNs = 0;
  std::optional<std::string> target;  // a link's
};

// Internet date-time in UTC, whole seconds (any fraction is dropped).
std::string isoDate(double secondsSinceEpoch);

enum class DateForm { secondsNumber, isoText };

// What a save report adds to the checkpoint's members.
struct SaveOutcome {
  bool saved;
  const std::vector<std::string>& removedIds;
};

// A checkpoint's members in ascending key order, as every pretty coding
// requires, with "spaceUsed" and a save's outcome where given.
void writeCheckpoint(JsonWriter& out, const Checkpoint& c, DateForm dates,
                     std::optional<int64_t> spaceUsed = std::nullopt, const SaveOutcome* outcome = nullptr);

}  // namespace redomark
