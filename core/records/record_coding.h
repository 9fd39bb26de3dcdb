// The JSON forms of the records, byte for byte: the store coding of
// "meta.json", the compact coding of "manifest.json", and the report coding of
// `list --json` and `diff --json`. Decoding is strict: a missing required key,
// a wrong type or an unknown kind fails the whole document with JsonError.
#pragma once

#include <cstdint>
#include <functional>
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

// Pretty-printed, sorted keys, dates as ISO 8601 UTC without fractions. No line end.
std::string encodeReport(const std::vector<Checkpoint>& checkpoints);
std::string encodeReport(const std::vector<Change>& changes);

}  // namespace redomark
