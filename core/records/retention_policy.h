// The retention limits kept in "settings.json", and their coding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/records/record_coding.h"

namespace redomark {

struct RetentionPolicy {
  int64_t keepPerFolder = 5;  // newest manual checkpoints of a folder always kept
  std::optional<int64_t> maxTotalBytes = int64_t{10} * 1024 * 1024 * 1024;  // per store
  std::optional<int64_t> maxAgeDays;
  // Automatic checkpoints: the newest of each of this many most recent local
  // hours, days, ISO weeks and months that have one.
  int64_t keepHourly = 24;
  int64_t keepDaily = 7;
  int64_t keepWeekly = 4;
  int64_t keepMonthly = 12;

  bool operator==(const RetentionPolicy&) const = default;
};

inline const RetentionPolicy defaultRetentionPolicy{};

// A "settings.json" that can't be used; what() says why in a person's words
// ("it isn't JSON", "\"keepPerFolder\" is missing"), to be shown after a colon.
class UnusableSettings : public JsonError {
 public:
  using JsonError::JsonError;
};

// Compact JSON; absent limits left out.
std::string encodeSettings(const RetentionPolicy& policy);
// Throws UnusableSettings when the text isn't a JSON object, "keepPerFolder"
// is missing, or a limit is not a whole number, 0 or more; null limits read
// as absent. Timeline counts left out (files written before they existed)
// read as their defaults.
RetentionPolicy decodeSettings(std::string_view json);
// Pretty-printed with sorted keys, as the reports are; no line end.
std::string encodeSettingsReport(const RetentionPolicy& policy);

}  // namespace redomark
