#include <cstdio>
#include <optional>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/confirmation.h"
#include "redomark/failure.h"
#include "redomark/progress.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"

namespace redomark {

void runUndo(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {}, {"--yes"}, 1);
  const std::string folder = folderPath(parsed.positionals);
  try {
    const Redomark engine;
    const std::optional<Checkpoint> last = engine.lastBeforeRestore(folder);
    if (!last) fail("There is nothing to undo for " + shown(folder) + ".", exitFailure);
    const std::string target = shown(last->sourcePath);
    if (!parsed.flags.count("--yes")) {
      // Asked before the control exists, so Ctrl-C here still ends the process.
      if (!canAsk()) fail("restoring needs confirmation: run it in a terminal or pass --yes", exitFailure);
      const DiffResult found = engine.diff(folder, last->id);
      std::printf("Undo the last restore of %s by putting it back to %s?\n", target.c_str(),
                  checkpointLine(last.value()).c_str());
      std::printf("%zu item(s) differ now. The current state is saved first (whole folder) or moved to the Trash (single item).\n",
                  found.changes.size());
      if (!answeredYes()) fail("not restored", exitFailure);
    }
    OperationControl& control = makeControl();
    const RestoreResult result = engine.restore(folder, last->id, &control);
    clearProgressLine();
    std::fputs(restoreReport(target, *last, result).c_str(), stdout);
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
