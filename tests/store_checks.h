// Checks of what an operation leaves in the store and beside a folder, however
// it ended (finished, failed, killed): shared by the crash, fault-injection
// and disk-full tests. Failures are reported as gtest failures.
#pragma once

#include <string>
#include <vector>

#include "core/operations/redomark.h"

namespace redomark::testing {

// Every checkpoint listed for folder is whole: its "meta.json" decodes to the
// listed record, its "manifest.json" decodes, and its saved tree walks to
// exactly that manifest. Returns the listed checkpoints, oldest first.
std::vector<Checkpoint> expectWholeCheckpoints(const Redomark& engine, const std::string& folder);

// Sorted names in directory that a failed or interrupted operation leaves:
// ".partial", ".deleting-" and ".redomark-restore-" entries.
std::vector<std::string> leftoverNames(const std::string& directory);

// True when text is pattern with each '*' of pattern standing for any run of
// characters (random ids and names in messages).
bool matchesPattern(const std::string& text, const std::string& pattern);

}  // namespace redomark::testing
