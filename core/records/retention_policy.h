// The retention limits kept in "settings.json", and their coding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace redomark {

struct RetentionPolicy {
  int64_t keepPerFolder = 5;  // newest manual checkpoints of a folder always kept
  std::optional<int64_t> maxTotalBytes = int64_t{10} * 1024 * 1024 * 1024;  // per store
  std::optional<int64_t> maxAgeDays;

  bool operator==(const RetentionPolicy&) const = default;
};

inline const RetentionPolicy defaultRetentionPolicy{};

// Compact JSON; absent limits left out.
std::string encodeSettings(const RetentionPolicy& policy);
// Throws JsonError when "keepPerFolder" is missing, negative or not an integer,
// or a limit has the wrong type; null limits read as absent.
RetentionPolicy decodeSettings(std::string_view json);

}  // namespace redomark
