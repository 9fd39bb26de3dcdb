// Moving an item to the user's Trash without ever copying it across disks:
// the home trash on the home's file system, the volume's own trash elsewhere.
#pragma once

#include <string>

#include "core/fs/directory_handle.h"

namespace redomark {

// Moves the entry name of directory (whose path is absolute) to the Trash,
// reaching every trash directory without following a link and using only
// those that are the user's own. Returns the item's new path under the
// trash's "files" directory. Throws FsError and leaves the item
// where it was when the move fails.
std::string moveToTrash(const DirectoryHandle& directory, const std::string& name);

}  // namespace redomark
