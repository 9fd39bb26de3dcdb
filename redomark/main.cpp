#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "core/fs/allocator_arenas.h"
#include "core/operations/redomark.h"
#include "redomark/commands.h"
#include "redomark/failure.h"
#include "redomark/shown_text.h"
#include "redomark/usage_text.h"

int main(int argc, char** argv) {
  using namespace redomark;
  shareOneAllocatorArena();
  if (argc < 2) {
    std::printf("%s\n", usageText);
    return exitUsage;
  }
  const std::string word = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (word == "--help" || word == "-h" || word == "help") {
    std::printf("%s\n", usageText);
    return exitSuccess;
  }
  if (word == "--version") {
    std::printf("redomark %s\n", std::string(Redomark::version).c_str());
    return exitSuccess;
  }
  try {
    if (word == "save") {
      runSave(rest);
    } else if (word == "list") {
      runList(rest);
    } else if (word == "diff") {
      runDiff(rest);
    } else if (word == "show") {
      runShow(rest);
    } else if (word == "restore") {
      runRestore(rest);
    } else if (word == "undo") {
      runUndo(rest);
    } else if (word == "run") {
      const int status = runCommandWithUndoPoint(rest);
      std::fflush(stdout);
      return status;
    } else if (word == "delete") {
      runDelete(rest);
    } else if (word == "folders") {
      runFolders(rest);
    } else if (word == "settings") {
      runSettings(rest);
    } else {
      fail("unknown command \"" + shown(word) + "\"\n" + usageText, exitUsage);
    }
  } catch (const std::exception& error) {
    reportFailure(error);
  }
  std::fflush(stdout);
  return exitSuccess;
}
