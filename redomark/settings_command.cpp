#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"

namespace redomark {
namespace {

constexpr int64_t largest = std::numeric_limits<int64_t>::max();

// Digits only, so "-1", "+5", "5.0" and "" are all refused; nothing when it
// doesn't fit.
std::optional<int64_t> wholeNumber(std::string_view text, int64_t multiplier = 1) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (largest - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > largest / multiplier) return std::nullopt;
  return value * multiplier;
}

// Sizes are shown in powers of 1000, so they are read the same way.
std::optional<int64_t> byteCount(std::string_view text) {
  static const std::pair<std::string_view, int64_t> units[] = {
      {"KB", 1000}, {"MB", 1000'000}, {"GB", 1000'000'000}, {"TB", 1000'000'000'000}};
  for (const auto& [unit, multiplier] : units) {
    if (text.ends_with(unit)) return wholeNumber(text.substr(0, text.size() - unit.size()), multiplier);
  }
  return wholeNumber(text);
}

[[noreturn]] void badValue(const std::string& needs, const std::string& value) {
  fail(needs + ", not \"" + shown(value) + "\"", exitUsage);
}

// The policy with the named limits changed; ends the run on a bad value.
RetentionPolicy changed(RetentionPolicy policy, const std::map<std::string, std::string>& options) {
  if (auto keep = options.find("--keep"); keep != options.end()) {
    const std::optional<int64_t> n = wholeNumber(keep->second);
    if (!n) badValue("--keep needs a whole number, 0 or more", keep->second);
    policy.keepPerFolder = *n;
  }
  if (auto age = options.find("--max-age"); age != options.end()) {
    const std::optional<int64_t> days = wholeNumber(age->second);
    if (!days && age->second != "none") badValue("--max-age needs a whole number of days or none", age->second);
    policy.maxAgeDays = days;
  }
  if (auto budget = options.find("--budget"); budget != options.end()) {
    const std::optional<int64_t> bytes = byteCount(budget->second);
    if (!bytes && budget->second != "none")
      badValue("--budget needs a size such as 5000000000 or 5GB, or none", budget->second);
    policy.maxTotalBytes = bytes;
  }
  static const std::pair<const char*, int64_t RetentionPolicy::*> timeline[] = {
      {"--hourly", &RetentionPolicy::keepHourly},
      {"--daily", &RetentionPolicy::keepDaily},
      {"--weekly", &RetentionPolicy::keepWeekly},
      {"--monthly", &RetentionPolicy::keepMonthly}};
  for (const auto& [option, count] : timeline) {
    const auto given = options.find(option);
    if (given == options.end()) continue;
    const std::optional<int64_t> n = wholeNumber(given->second);
    if (!n) badValue(std::string(option) + " needs a whole number, 0 or more", given->second);
    policy.*count = *n;
  }
  return policy;
}

}  // namespace

void runSettings(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(
      arguments, {"--keep", "--max-age", "--budget", "--hourly", "--daily", "--weekly", "--monthly"}, {"--json"}, 0);
  try {
    const Redomark engine;
    LoadedSettings settings = engine.loadSettings();
    if (!parsed.options.empty()) {
      engine.saveSettings(changed(settings.policy, parsed.options));
      // What is shown is what the next save will read.
      settings = engine.loadSettings();
    }
    if (parsed.flags.count("--json")) {
      std::printf("%s\n", encodeSettingsReport(settings.policy).c_str());
    } else {
      std::fputs(settingsReport(settings).c_str(), stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
