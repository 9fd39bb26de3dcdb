#include <cerrno>
#include <cstdio>

#include "core/fs/directory_handle.h"
#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/report_coding.h"
#include "redomark/reports.h"

namespace redomark {
namespace {

// A link on the way to the folder may still lead to something there.
bool isSomethingAt(const std::string& canonicalFolder) {
  const FsResult<ItemStatus> facts = examine(canonicalFolder);
  return facts || facts.code() == ELOOP;
}

FolderReport reportOf(const Redomark& engine, const FolderSummary& folder, bool space) {
  FolderReport report{.path = folder.path,
                      .count = static_cast<int64_t>(folder.checkpoints.size()),
                      .latest = folder.checkpoints.back().createdAt,
                      .exists = isSomethingAt(folder.path),
                      .spaceUsed = std::nullopt};
  if (space) {
    int64_t sum = 0;
    for (const Checkpoint& c : folder.checkpoints) sum += engine.spaceUsed(c);
    report.spaceUsed = sum;
  }
  return report;
}

}  // namespace

void runFolders(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {}, {"--space", "--json"}, 0);
  const bool space = parsed.flags.count("--space") > 0;
  try {
    const Redomark engine;
    const std::vector<FolderSummary> folders = engine.listFolders();
    if (parsed.flags.count("--json")) {
      std::vector<FolderReport> reports;
      for (const FolderSummary& folder : folders) reports.push_back(reportOf(engine, folder, space));
      std::printf("%s\n", encodeReport(reports).c_str());
      return;
    }
    if (folders.empty()) {
      std::puts("No saved redomarks.");
      return;
    }
    for (const FolderSummary& folder : folders) {
      std::printf("%s\n", folderLine(reportOf(engine, folder, space)).c_str());
      // Each measured line shows as soon as it is known.
      if (space) std::fflush(stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
