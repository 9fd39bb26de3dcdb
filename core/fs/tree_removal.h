// Removing a whole tree below an open directory, however deep, without
// following a link and with a bounded number of descriptors open.
#pragma once

#include <string>

namespace redomark {

// Removes the entry name of the open directory dirFd and, for a directory,
// everything below it; never follows links; path names it in errors. Throws.
void removeTreeAt(int dirFd, const std::string& name, const std::string& path);

}  // namespace redomark
