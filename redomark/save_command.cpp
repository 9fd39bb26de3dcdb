#include <cstdio>
#include <optional>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/progress.h"
#include "redomark/report_coding.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"

namespace redomark {

void runSave(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {"--name"}, {"--if-changed", "--auto", "--json"}, 1);
  const std::string folder = folderPath(parsed.positionals);
  SaveRequest request;
  if (auto found = parsed.options.find("--name"); found != parsed.options.end()) request.name = found->second;
  const bool automatic = parsed.flags.count("--auto") > 0;
  if (automatic) request.kind = Checkpoint::Kind::automatic;
  request.onlyIfChanged = automatic || parsed.flags.count("--if-changed") > 0;
  OperationControl& control = makeControl();
  SaveResult result;
  try {
    result = Redomark().saveAndPrune(folder, request, &control);
  } catch (const std::exception& error) {
    reportFailure(error);
  }
  clearProgressLine();
  if (result.settings.state == LoadedSettings::State::unusable) warn(unusableSettingsWarning(result.settings));
  if (parsed.flags.count("--json")) {
    std::vector<std::string> removed;
    for (const Checkpoint& c : result.removed) removed.push_back(c.id);
    std::printf("%s\n", encodeSaveReport(result.saved, !result.unchanged, removed).c_str());
  } else if (result.unchanged) {
    std::printf("No changes since redomark %s; nothing saved.\n", shown(result.saved.id).c_str());
  } else {
    std::fputs(saveReport(result.saved, result.removed, result.recordBytes).c_str(), stdout);
  }
}

}  // namespace redomark
