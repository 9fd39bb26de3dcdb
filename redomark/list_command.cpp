#include <cstdio>

#include "core/fs/typed_path.h"
#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/report_coding.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"

namespace redomark {

void runList(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {}, {"--space", "--json"}, 1);
  const std::string folder = folderPath(parsed.positionals);
  try {
    const Redomark engine;
    const std::vector<Checkpoint> checkpoints = engine.listCheckpoints(folder);
    // Only a folder has redomarks; a file there is named as what it is.
    const std::optional<ItemStatus> named = examineNamed(folder);
    if (checkpoints.empty() && named && named->kind != EntryKind::directory)
      throw RedomarkError::notADirectory(canonicalPath(folder));
    const bool space = parsed.flags.count("--space") > 0;
    if (parsed.flags.count("--json")) {
      if (!space) {
        std::printf("%s\n", encodeReport(checkpoints).c_str());
        return;
      }
      std::vector<int64_t> used;
      for (const Checkpoint& c : checkpoints) used.push_back(engine.spaceUsed(c));
      std::printf("%s\n", encodeReport(checkpoints, used).c_str());
      return;
    }
    if (checkpoints.empty()) {
      if (named) {
        std::puts("No saved redomarks for this folder.");
      } else {
        std::printf("No saved redomarks for %s (the folder doesn't exist either).\n", shown(folder).c_str());
      }
      return;
    }
    for (auto it = checkpoints.rbegin(); it != checkpoints.rend(); ++it) {
      std::optional<int64_t> used;
      if (space) used = engine.spaceUsed(*it);
      std::printf("%s\n", listLine(*it, used).c_str());
      // Each measured line shows as soon as it is known.
      if (space) std::fflush(stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
