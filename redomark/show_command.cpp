#include <cstdio>

#include "core/operations/redomark.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/report_coding.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"

namespace redomark {

void runShow(const std::vector<std::string>& arguments) {
  const ParsedArguments parsed = parseArguments(arguments, {"--file"}, {"--json"}, 2);
  const bool json = parsed.flags.count("--json") > 0;
  const std::string folder = folderPath(parsed.positionals);
  std::optional<std::string> id;
  if (parsed.positionals.size() == 2) id = parsed.positionals[1];
  std::optional<std::string> item;
  if (auto found = parsed.options.find("--file"); found != parsed.options.end()) item = found->second;
  try {
    const ShowResult result = Redomark().show(folder, id, item);
    if (json && result.kind != EntryKind::directory) fail("--json can't be used to print a file", exitUsage);
    if (result.file) {
      // The saved bytes exactly: binary-safe, nothing added.
      result.file->read([](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
    } else if (result.kind == EntryKind::symlink) {
      std::printf("%s\n", shown(result.target).c_str());
    } else if (json) {
      std::printf("%s\n", encodeReport(result.items).c_str());
    } else {
      std::fputs(listingReport(result.items).c_str(), stdout);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

}  // namespace redomark
