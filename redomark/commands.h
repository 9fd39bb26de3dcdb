// The handlers of the commands, each given the arguments after its word.
// A handler returns normally only on success; failures end the process.
#pragma once

#include <string>
#include <vector>

namespace redomark {

void runSave(const std::vector<std::string>& arguments);
void runList(const std::vector<std::string>& arguments);
void runDiff(const std::vector<std::string>& arguments);
void runShow(const std::vector<std::string>& arguments);
void runRestore(const std::vector<std::string>& arguments);
void runUndo(const std::vector<std::string>& arguments);
// Unlike the others, returns the status to end with: the command's.
int runCommandWithUndoPoint(const std::vector<std::string>& arguments);
void runDelete(const std::vector<std::string>& arguments);
void runFolders(const std::vector<std::string>& arguments);
void runSettings(const std::vector<std::string>& arguments);

}  // namespace redomark
