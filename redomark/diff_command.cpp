#include <cstdio>

#include "core/operations/redomark.h"
#include "core/records/record_coding.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/reports.h"

namespace redomark {

void runDiff(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {}, {"--json"}, 2);
  const std::string folder = folderURL(parsed.positionals);
  std::optional<std::string> id;
  if (parsed.positionals.size() == 2) id = parsed.positionals[1];
  try {
    const DiffResult result = Redomark().diff(folder, id);
    if (parsed.flags.count("--json")) {
      std::printf("%s\n", encodeReport(result.changes).c_str());
    } else {
      std::fputs(diffReport(result.checkpoint, result.changes).c_str(), stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
