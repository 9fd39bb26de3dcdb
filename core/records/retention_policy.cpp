#include "core/records/retention_policy.h"

#include "core/records/json_reading.h"
#include "core/records/json_writer.h"

namespace redomark {

std::string encodeSettings(const RetentionPolicy& policy) {
  JsonWriter out(JsonWriter::Layout::compact, 80);
  out.beginObject();
  out.key("keepPerFolder");
  out.integer(policy.keepPerFolder);
  if (policy.maxTotalBytes) {
    out.key("maxTotalBytes");
    out.integer(*policy.maxTotalBytes);
  }
  if (policy.maxAgeDays) {
    out.key("maxAgeDays");
    out.integer(*policy.maxAgeDays);
  }
  out.endObject();
  return out.take();
}

// A limit left out of the file means no limit, not the default one.
RetentionPolicy decodeSettings(std::string_view text) {
  RetentionPolicy policy{.keepPerFolder = 0, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt};
  bool sawKeep = false;
  for (auto [key, value] : json::asObject(json::parse(text))) {
    if (key == "keepPerFolder") {
      policy.keepPerFolder = json::asInt64(value);
      sawKeep = true;
    } else if (key == "maxTotalBytes") {
      policy.maxTotalBytes = json::asOptionalInt64(value);
    } else if (key == "maxAgeDays") {
      policy.maxAgeDays = json::asOptionalInt64(value);
    }
  }
  if (!sawKeep) json::failMissing();
  // The store keeps a suffix of this many checkpoints; a negative count has no meaning.
  if (policy.keepPerFolder < 0) json::failMalformed();
  return policy;
}

}  // namespace redomark
