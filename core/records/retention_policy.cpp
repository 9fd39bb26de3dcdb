#include "core/records/retention_policy.h"

#include "core/records/json_reading.h"
#include "core/records/json_writer.h"

namespace redomark {
namespace {

struct TimelineCount {
  const char* key;
  int64_t RetentionPolicy::*count;
};
// In the sorted order of the report's keys.
constexpr TimelineCount timelineCounts[] = {{"keepDaily", &RetentionPolicy::keepDaily},
                                            {"keepHourly", &RetentionPolicy::keepHourly},
                                            {"keepMonthly", &RetentionPolicy::keepMonthly},
                                            {"keepWeekly", &RetentionPolicy::keepWeekly}};

void writeTimeline(JsonWriter& out, const RetentionPolicy& policy, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    out.key(timelineCounts[i].key);
    out.integer(policy.*timelineCounts[i].count);
  }
}

void writeSettings(JsonWriter& out, const RetentionPolicy& policy, bool sortedKeys) {
  out.beginObject();
  if (sortedKeys) writeTimeline(out, policy, 0, 3);
  out.key("keepPerFolder");
  out.integer(policy.keepPerFolder);
  if (sortedKeys) writeTimeline(out, policy, 3, 4);
  // The file has always been written with the budget before the age limit.
  const auto budget = [&] {
    if (!policy.maxTotalBytes) return;
    out.key("maxTotalBytes");
    out.integer(*policy.maxTotalBytes);
  };
  if (!sortedKeys) budget();
  if (policy.maxAgeDays) {
    out.key("maxAgeDays");
    out.integer(*policy.maxAgeDays);
  }
  if (sortedKeys) budget();
  if (!sortedKeys) writeTimeline(out, policy, 0, 4);
  out.endObject();
}

// A limit the store can use: a whole number, 0 or more.
int64_t limitValue(simdjson::dom::element value, const char* key) {
  int64_t number = 0;
  try {
    number = json::asInt64(value);
  } catch (const JsonError&) {
    throw UnusableSettings("\"" + std::string(key) + "\" must be a whole number");
  }
  if (number < 0) throw UnusableSettings("\"" + std::string(key) + "\" must be 0 or more");
  return number;
}

std::optional<int64_t> optionalLimit(simdjson::dom::element value, const char* key) {
  if (value.is_null()) return std::nullopt;
  return limitValue(value, key);
}

}  // namespace

std::string encodeSettings(const RetentionPolicy& policy) {
  JsonWriter out(JsonWriter::Layout::compact, 80);
  writeSettings(out, policy, false);
  return out.take();
}

std::string encodeSettingsReport(const RetentionPolicy& policy) {
  JsonWriter out(JsonWriter::Layout::pretty, 120);
  writeSettings(out, policy, true);
  return out.take();
}

// A limit left out of the file means no limit, not the default one.
RetentionPolicy decodeSettings(std::string_view text) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) throw UnusableSettings("it is empty");
  simdjson::dom::element document;
  try {
    document = json::parse(text);
  } catch (const JsonError&) {
    throw UnusableSettings("it isn't JSON");
  }
  if (!document.is_object()) throw UnusableSettings("it isn't a JSON object");
  RetentionPolicy policy{.keepPerFolder = 0, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt};
  bool sawKeep = false;
  for (auto [key, value] : simdjson::dom::object(document)) {
    if (key == "keepPerFolder") {
      // The store keeps a suffix of this many checkpoints; a negative count has no meaning.
      policy.keepPerFolder = limitValue(value, "keepPerFolder");
      sawKeep = true;
    } else if (key == "maxTotalBytes") {
      policy.maxTotalBytes = optionalLimit(value, "maxTotalBytes");
    } else if (key == "maxAgeDays") {
      policy.maxAgeDays = optionalLimit(value, "maxAgeDays");
    } else {
      for (const TimelineCount& t : timelineCounts)
        if (key == t.key) policy.*t.count = limitValue(value, t.key);
    }
  }
  if (!sawKeep) throw UnusableSettings("\"keepPerFolder\" is missing");
  return policy;
}

}  // namespace redomark
