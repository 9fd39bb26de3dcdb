#include "core/fs/open_to_look.h"

#include <fcntl.h>

namespace redomark {

// APFS has no flag to leave the access time alone on open; it updates access
// times lazily (only when older than the modification time), which spares
// most of the writes the flag avoids elsewhere.
int openToLook(int directoryFd, const char* name, int flags) { return openat(directoryFd, name, flags); }

}  // namespace redomark
