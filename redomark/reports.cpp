#include "redomark/report_coding.h"
#include "redomark/reports.h"

#include <cmath>
#include <cstdio>

#include "core/records/local_date.h"
#include "redomark/shown_text.h"

namespace redomark {
namespace {

// Fraction digits grow with the unit, trailing zeros dropped: "48 KB", "1.5 MB", "2.35 GB".
std::string scaled(double value, int digits, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  std::string number = text;
  if (number.find('.') != std::string::npos) {
    while (number.back() == '0') number.pop_back();
    if (number.back() == '.') number.pop_back();
  }
  return number + " " + unit;
}

}  // namespace

std::string formatBytes(int64_t bytes) {
  if (bytes < 1) return "0 KB";
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  for (;;) {
    const int digits = unit == 0 ? 0 : unit == 1 ? 1 : 2;
    const double step = std::pow(10.0, digits);
    // A value that rounds up to 1000 is shown in the next unit.
    if (std::round(value * step) / step >= 1000.0 && unit + 1 < std::size(units)) {
      value /= 1000.0;
      ++unit;
      continue;
    }
    return scaled(value, digits, units[unit]);
  }
}

std::string checkpointLine(const Checkpoint& checkpoint) {
  std::string line = shown(checkpoint.id) + "  " + localDateTime(checkpoint.createdAt, TimeDetail::seconds);
  if (checkpoint.name) line += "  \"" + shown(*checkpoint.name) + "\"";
  return line;
}

std::string saveReport(const Checkpoint& saved, const std::vector<Checkpoint>& removed, int64_t recordBytes) {
  std::string text = "Saved redomark " + shown(saved.id) + " of " + shown(saved.sourcePath) + " (" +
                     std::to_string(saved.fileCount) + " files, " + formatBytes(saved.totalBytes);
  // Many small files cost their copies' records more than their shared data saves.
  if (recordBytes >= 1'000'000 && recordBytes * 100 >= saved.totalBytes) {
    text += "; it shares the data, but the copies' own file records take about " + formatBytes(recordBytes) + ").\n";
  } else {
    text += "; it shares the data, so it uses almost no extra disk).\n";
  }
  if (saved.notClonedCount > 0) {
    text += "Note: " + std::to_string(saved.notClonedCount) +
            " file(s) had to be copied instead of shared and use real disk space.\n";
  }
  if (!saved.changedWhileSaving.empty()) {
    text += "Note: " + std::to_string(saved.changedWhileSaving.size()) +
            " file(s) changed while saving, so they may be half old, half new: ";
    for (size_t i = 0; i < saved.changedWhileSaving.size() && i < 5; ++i) {
      if (i > 0) text += ", ";
      text += shown(saved.changedWhileSaving[i]);
    }
    text += "\n";
  }
  for (const Checkpoint& old : removed) {
    const std::string whose = old.sourcePath == saved.sourcePath ? "" : " of " + shown(old.sourcePath);
    text += "Removed older redomark " + shown(old.id) + whose + " to stay within your limits.\n";
  }
  text += "This is an undo point on this disk, not a backup.\n";
  return text;
}

std::string listLine(const Checkpoint& checkpoint, std::optional<int64_t> spaceUsed) {
  std::string line = checkpointLine(checkpoint) + "  " + std::to_string(checkpoint.fileCount) + " files";
  if (spaceUsed) line += "  uses " + formatBytes(*spaceUsed);
  if (checkpoint.kind == Checkpoint::Kind::beforeRestore) line += "  [automatic, before a restore]";
  if (checkpoint.kind == Checkpoint::Kind::automatic) line += "  [automatic]";
  return line;
}

std::string diffReport(const Checkpoint& checkpoint, const std::vector<Change>& changes) {
  return diffReport(checkpoint, std::nullopt, std::nullopt, changes, {});
}

std::string diffReport(const Checkpoint& checkpoint, const std::optional<Checkpoint>& second,
                       const std::optional<std::string>& item, const std::vector<Change>& changes,
                       const std::vector<std::string>& patches) {
  std::string text = "Changes";
  if (item) text += " in \"" + shown(*item) + "\"";
  text += second ? " from " + checkpointLine(checkpoint) + " to " + checkpointLine(*second) + ":\n"
                 : " since " + checkpointLine(checkpoint) + ":\n";
  if (changes.empty()) return text + "  none\n";
  for (size_t i = 0; i < changes.size(); ++i) {
    const Change& change = changes[i];
    const char mark = change.kind == Change::Kind::added ? '+' : change.kind == Change::Kind::modified ? '~' : '-';
    text += "  ";
    text += mark;
    text += " " + shown(change.path);
    if (change.isDirectory) {
      text += "/";
    } else if (change.currentSize || change.savedSize) {
      text += "  (" + formatBytes(change.currentSize ? *change.currentSize : *change.savedSize) + ")";
    }
    text += "\n";
    if (i < patches.size()) text += patches[i];
  }
  return text;
}

std::string listingReport(const std::vector<ListedItem>& items) {
  std::string text;
  for (const ListedItem& item : items) {
    text += shown(item.name);
    if (item.kind == EntryKind::directory) text += "/";
    if (item.kind == EntryKind::file) text += "  (" + formatBytes(item.size) + ")";
    if (item.target) text += " -> " + shown(*item.target);
    text += "\n";
  }
  return text;
}

std::string folderLine(const FolderReport& folder) {
  std::string line = shown(folder.path) + "  " + std::to_string(folder.count) + " redomarks, latest " + localDateTime(folder.latest, TimeDetail::seconds);
  if (folder.spaceUsed) line += "  uses " + formatBytes(*folder.spaceUsed);
  if (!folder.exists) line += "  [folder gone]";
  return line;
}

std::string settingsReport(const LoadedSettings& settings) {
  std::string text = "Settings: " + shown(settings.path);
  if (settings.state == LoadedSettings::State::missing) text += " (not written yet, so the defaults apply)";
  if (settings.state == LoadedSettings::State::unusable)
    text += " (it can't be used: " + settings.problem + ", so the defaults apply)";
  const RetentionPolicy& p = settings.policy;
  text += "\nKeep: the " + std::to_string(p.keepPerFolder) + " newest redomarks you saved of each folder\n";
  text += "Age limit: " + (p.maxAgeDays ? std::to_string(*p.maxAgeDays) + " days" : std::string("none")) + "\n";
  text += "Budget for each store: ";
  if (p.maxTotalBytes) {
    text += formatBytes(*p.maxTotalBytes) + " (" + std::to_string(*p.maxTotalBytes) + " bytes)\n";
  } else {
    text += "none\n";
  }
  text += "Automatic redomarks: the newest of each of the last " + std::to_string(p.keepHourly) + " hours, " +
          std::to_string(p.keepDaily) + " days, " + std::to_string(p.keepWeekly) + " weeks and " +
          std::to_string(p.keepMonthly) + " months\n";
  return text;
}

std::string unusableSettingsWarning(const LoadedSettings& settings) {
  return shown(settings.path) + " can't be used (" + settings.problem + "), so the default limits apply.";
}

std::string restoreReport(const std::string& target, const Checkpoint& checkpoint,
                          const RestoreResult& result) {
  std::string text = "Restored " + target + " to " + shown(checkpoint.id) + ".\n";
  if (result.beforeRestore) {
    text += "The state before the restore was saved as redomark " + shown(result.beforeRestore->id) +
            ", so you can undo this.\n";
  }
  if (result.replacedItem) text += "The replaced copy is at " + shown(*result.replacedItem) + ".\n";
  return text;
}

}  // namespace redomark
