#include <cstdio>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/report_coding.h"
#include "redomark/reports.h"

namespace redomark {

void runDiff(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {"--file"}, {"--json", "--patch"}, 3);
  const bool json = parsed.flags.count("--json") > 0;
  DiffRequest request;
  request.patches = parsed.flags.count("--patch") > 0;
  if (request.patches && json) fail("--patch can't be combined with --json", exitUsage);
  const std::string folder = folderPath(parsed.positionals);
  if (parsed.positionals.size() >= 2) request.id = parsed.positionals[1];
  if (parsed.positionals.size() == 3) request.id2 = parsed.positionals[2];
  if (auto found = parsed.options.find("--file"); found != parsed.options.end()) request.item = found->second;
  try {
    const DiffResult result = Redomark().diff(folder, request);
    if (json) {
      std::printf("%s\n", encodeReport(result.changes).c_str());
    } else {
      const std::string report =
          diffReport(result.checkpoint, result.second, result.item, result.changes, result.patches);
      std::fwrite(report.data(), 1, report.size(), stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
