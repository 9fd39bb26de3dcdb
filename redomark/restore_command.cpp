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
namespace {

// Asked before the control exists, so Ctrl-C here still ends the process.
void confirm(const std::string& target, const DiffResult& found) {
  if (!canAsk()) fail("restoring needs confirmation: run it in a terminal or pass --yes", exitFailure);
  std::printf("Restore %s to %s?\n", target.c_str(), checkpointLine(found.checkpoint).c_str());
  std::printf("%zu item(s) differ now. The current state is saved first (whole folder) or moved to the Trash (single item).\n",
              found.changes.size());
  if (!answeredYes()) fail("not restored", exitFailure);
}

}  // namespace

void runRestore(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {"--file"}, {"--yes"}, 2);
  const std::string folder = folderPath(parsed.positionals);
  std::optional<std::string> id;
  if (parsed.positionals.size() == 2) id = parsed.positionals[1];
  std::optional<std::string> item;
  if (auto found = parsed.options.find("--file"); found != parsed.options.end()) item = found->second;
  try {
    const Redomark engine;
    // Only the prompt shows the count; without it the checkpoint is only
    // chosen, so the folder is walked once, by the save before the restore.
    std::optional<DiffResult> found;
    if (!parsed.flags.count("--yes")) found = engine.diff(folder, id);
    const Checkpoint chosen =
        found ? found->checkpoint : engine.resolveCheckpoints(folder, {id.value_or("latest")}).front();
    std::string target;
    if (item) target.append("\"").append(shown(*item)).append("\" in ");
    target += shown(chosen.sourcePath);
    if (found) confirm(target, *found);
    OperationControl& control = makeControl();
    // The chosen checkpoint's own id, so a save in between cannot change what "latest" means.
    const RestoreResult result = item ? engine.putBackItem(folder, *item, chosen.id, &control)
                                      : engine.restore(folder, chosen.id, &control);
    clearProgressLine();
    std::fputs(restoreReport(target, chosen, result).c_str(), stdout);
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
