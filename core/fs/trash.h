// Moving an item to the user's Trash without ever copying it across disks:
// the home trash on the home's file system, the volume's own trash elsewhere.
#pragma once

#include <string>

namespace redomark {

// Returns the item's new path under the trash's "files" directory. Throws
// std::system_error and leaves the item where it was when the move fails.
std::string moveToTrash(const std::string& path);

}  // namespace redomark
