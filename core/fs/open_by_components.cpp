#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/fs/directory_calls.h"
#include "core/fs/item_status.h"

namespace redomark {

int openByComponents(int startFd, std::string_view path, int flags, int passingFlags, bool sameMount) {
  int at = path.starts_with('/') ? open("/", passingFlags) : fcntl(startFd, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  while (at >= 0) {
    while (start < path.size() && path[start] == '/') ++start;
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const bool last = start == end || path.find_first_not_of('/', end) == std::string_view::npos;
    int next = -1;
    if (start == end) {  // "/" or "" alone: the directory reached is the one
      next = openat(at, ".", flags);
    } else {
      const std::string name(path.substr(start, end - start));
      const std::optional<ItemStatus> facts = itemStatusAt(at, name.c_str());
      // A link with a "/" after it is refused here, as the kernel refuses one on the way; at the very end flags
      // decide (O_NOFOLLOW refuses it, O_PATH with it opens the link itself).
      if (end < path.size() && facts && facts->kind == EntryKind::symlink) {
        errno = ELOOP;
      } else if (facts && sameMount && facts->mountRoot) {
        errno = EXDEV;
      } else {
        next = openat(at, name.c_str(), last ? flags : passingFlags);
      }
    }
    const int saved = errno;
    close(at);
    errno = saved;
    if (last) return next;
    at = next;
    start = end;
  }
  return -1;
}

}  // namespace redomark
