// Everything a restore must give back, read from disk for comparison: every
// item's kind, size, modification time, permission bits and contents.
#pragma once

#include <map>
#include <string>

namespace redomark::testing {

// Path (relative, "" for the root itself) -> "kind mode size mtime|contents".
using TreeSnapshot = std::map<std::string, std::string>;

TreeSnapshot snapshotTree(const std::string& root);

std::string readFile(const std::string& path);

}  // namespace redomark::testing
