#include "core/fs/file_descriptor.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

namespace redomark {

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

size_t openLevelBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  return static_cast<size_t>(std::clamp<rlim_t>(limit.rlim_cur / 8, 4, 128));
}

}  // namespace redomark
