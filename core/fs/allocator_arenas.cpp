#include "core/fs/allocator_arenas.h"

#include <malloc.h>

namespace redomark {

void shareOneAllocatorArena() {
#ifdef M_ARENA_MAX
  mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace redomark
