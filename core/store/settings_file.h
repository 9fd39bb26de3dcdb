// The user's "settings.json" beside the default store: the retention limits
// read and judged, and written back privately.
#pragma once

#include <string>

#include "core/records/retention_policy.h"

namespace redomark {

// What was found in "settings.json" and the limits that follow from it.
struct LoadedSettings {
  enum class State { missing, unusable, used };
  std::string path;  // of "settings.json"
  State state = State::missing;
  std::string problem;  // when unusable: why, in a person's words ("it isn't JSON")
  RetentionPolicy policy;  // the defaults unless used
};

// The path of "settings.json", beside the default store root.
std::string settingsPath(const std::string& defaultStoreRoot);
// "settings.json" read and judged; never fails.
LoadedSettings loadSettings(const std::string& defaultStoreRoot);
// Replaces "settings.json" atomically and durably, with permissions 0600.
// Throws RedomarkError::io when it cannot be written.
void saveSettings(const RetentionPolicy& policy, const std::string& defaultStoreRoot);

}  // namespace redomark
