#include <cstdint>
#include <cstdio>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/confirmation.h"
#include "redomark/failure.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"
#include "redomark/usage_text.h"

namespace redomark {
namespace {

void confirm(const std::vector<Checkpoint>& chosen) {
  if (!canAsk()) fail("deleting needs confirmation: run it in a terminal or pass --yes", exitFailure);
  std::printf("Delete these redomarks of %s?\n", shown(chosen.front().sourcePath).c_str());
  for (const Checkpoint& c : chosen) std::printf("  %s\n", checkpointLine(c).c_str());
  if (!answeredYes()) fail("not deleted", exitFailure);
}

}  // namespace

void runDelete(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {}, {"--yes"}, SIZE_MAX);
  const std::string folder = folderPath(parsed.positionals);
  if (parsed.positionals.size() < 2) fail(std::string("missing <id>\n") + usageText, exitUsage);
  const std::vector<std::string> ids(parsed.positionals.begin() + 1, parsed.positionals.end());
  try {
    const Redomark engine;
    // Every id is resolved before anything is deleted, so a typing mistake deletes nothing.
    const std::vector<Checkpoint> chosen = engine.resolveCheckpoints(folder, ids);
    if (!parsed.flags.count("--yes")) confirm(chosen);
    engine.deleteCheckpoints(chosen, [](const Checkpoint& c) {
      std::printf("Deleted redomark %s.\n", shown(c.id).c_str());
      std::fflush(stdout);
    });
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
