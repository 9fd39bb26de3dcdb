// The text every successful command prints, built from the records so that it
// can be checked without running an operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/store/settings_file.h"
#include "redomark/report_coding.h"

namespace redomark {

// Decimal units: "0 KB" below one byte, "1 byte", "N bytes", "48 KB", "1.5 MB", "2.35 GB".
std::string formatBytes(int64_t bytes);
// id, two blanks, the local medium date and time, and the quoted name if any.
std::string checkpointLine(const Checkpoint& checkpoint);

std::string saveReport(const Checkpoint& saved, const std::vector<Checkpoint>& removed, int64_t recordBytes);
// One line of the list, without its line end; spaceUsed only with --space.
std::string listLine(const Checkpoint& checkpoint, std::optional<int64_t> spaceUsed);
std::string diffReport(const Checkpoint& checkpoint, const std::vector<Change>& changes);
// The same from the checkpoint to a second one, of one item only, and with
// each change's patch (when given, one per change) after its line.
std::string diffReport(const Checkpoint& checkpoint, const std::optional<Checkpoint>& second,
                       const std::optional<std::string>& item, const std::vector<Change>& changes,
                       const std::vector<std::string>& patches);
// A saved directory's items, one line each: name, "/" for a directory, the
// size of a file, the target of a link.
std::string listingReport(const std::vector<ListedItem>& items);
// One line of the folders list, without its line end.
std::string folderLine(const FolderReport& folder);
// The lines of the limits in force and where they come from.
std::string settingsReport(const LoadedSettings& settings);
// The save's warning about a "settings.json" it could not use, without "redomark: ".
std::string unusableSettingsWarning(const LoadedSettings& settings);
// target as shown: the folder, or the quoted item "in" the folder.
std::string restoreReport(const std::string& target, const Checkpoint& checkpoint,
                          const RestoreResult& result);

}  // namespace redomark
