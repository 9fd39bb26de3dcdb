#include <cstdio>
#include <optional>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/progress.h"
#include "redomark/reports.h"

namespace redomark {

void runSave(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {"--name"}, {}, 1);
  const std::string folder = folderURL(parsed.positionals);
  std::optional<std::string> name;
  if (auto found = parsed.options.find("--name"); found != parsed.options.end()) name = found->second;
  OperationControl& control = makeControl();
  SaveResult result;
  try {
    result = Redomark().saveAndPrune(folder, name, &control);
  } catch (const std::exception& error) {
    reportFailure(error);
  }
  clearProgressLine();
  if (result.settings.state == LoadedSettings::State::unusable) warn(unusableSettingsWarning(result.settings));
  std::fputs(saveReport(result.saved, result.removed, result.recordBytes).c_str(), stdout);
}

}  // namespace redomark
