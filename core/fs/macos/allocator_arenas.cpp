#include "core/fs/allocator_arenas.h"

namespace redomark {

// macOS's allocator has no setting for this.
void shareOneAllocatorArena() {}

}  // namespace redomark
