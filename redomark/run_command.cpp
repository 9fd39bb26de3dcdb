#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/operations/redomark.h"
#include "core/records/unicode_text.h"
#include "redomark/arguments.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/progress.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"
#include "redomark/usage_text.h"

namespace redomark {
namespace {

constexpr size_t longestNameBytes = 200;
constexpr int couldNotExecute = 126;
constexpr int notFound = 127;
constexpr int signalStatusBase = 128;

// "Before " and the command line, cut at a character boundary.
std::string nameFor(const std::vector<std::string>& command) {
  std::string name = "Before";
  for (const std::string& word : command) name += " " + word;
  name = repairUtf8(name);
  if (name.size() <= longestNameBytes) return name;
  size_t end = longestNameBytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xc0) == 0x80) --end;
  return name.substr(0, end);
}

// As typed at a POSIX shell: left alone when it holds only characters no
// shell treats specially, else in single quotes.
std::string shellQuoted(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+=:,@%", c) != nullptr;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

SaveResult saveUndoPoint(const Redomark& engine, const std::string& folder, const std::optional<std::string>& name) {
  OperationControl& control = makeControl();
  try {
    return engine.saveAndPrune(folder, SaveRequest{.name = name, .onlyIfChanged = true}, &control);
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

void reportChanges(const Redomark& engine, const std::string& folder, const Checkpoint& undoPoint) {
  const std::string path = shown(undoPoint.sourcePath);
  try {
    const size_t changed = engine.diff(folder, undoPoint.id).changes.size();
    if (changed == 0) return warn("the command changed nothing in " + path + ".");
    warn("the command changed " + std::to_string(changed) + " items in " + path +
         "; to undo: redomark restore " + shown(shellQuoted(undoPoint.sourcePath)) + " " + shown(undoPoint.id));
  } catch (const std::exception& error) {
    warn(shown(error.what()));
  }
}

}  // namespace

int runCommandWithUndoPoint(const std::vector<std::string>& arguments) {
  const auto dashes = std::find(arguments.begin(), arguments.end(), "--");
  const ParsedArguments parsed = parseArguments({arguments.begin(), dashes}, {"--name"}, {}, 1);
  const std::string folder = folderPath(parsed.positionals);
  const std::vector<std::string> command(dashes == arguments.end() ? dashes : dashes + 1, arguments.end());
  if (command.empty()) fail("missing <command>\n" + std::string(usageText), exitUsage);
  std::optional<std::string> name;
  if (auto found = parsed.options.find("--name"); found != parsed.options.end()) name = found->second;

  const Redomark engine;
  const SaveResult result = saveUndoPoint(engine, folder, name ? name : nameFor(command));
  clearProgressLine();
  if (result.settings.state == LoadedSettings::State::unusable) warn(unusableSettingsWarning(result.settings));
  const std::string id = shown(result.saved.id);
  if (result.unchanged) {
    warn("nothing changed since redomark " + id + ", which is the undo point.");
  } else {
    warn("saved redomark " + id + " of " + shown(result.saved.sourcePath) + " before running the command.");
  }

  const ChildOutcome outcome = Redomark::runCommand(command);
  if (outcome.startError != 0) {
    warn("couldn't run " + shown(command.front()) + ": " + std::strerror(outcome.startError));
    return outcome.startError == ENOENT ? notFound : couldNotExecute;
  }
  reportChanges(engine, folder, result.saved);
  return outcome.signal != 0 ? signalStatusBase + outcome.signal : outcome.exitStatus;
}

}  // namespace redomark
