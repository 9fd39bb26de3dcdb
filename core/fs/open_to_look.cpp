#include "core/fs/open_to_look.h"

#include <fcntl.h>

#include <cerrno>

namespace redomark {

int openToLook(int directoryFd, const char* name, int flags) {
  const int fd = openat(directoryFd, name, flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
  return openat(directoryFd, name, flags);
}

}  // namespace redomark
