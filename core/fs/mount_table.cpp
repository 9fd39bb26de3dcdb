#include "core/fs/mount_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <vector>

#include "core/fs/file_descriptor.h"

namespace redomark {

namespace {

// The mount table as the kernel shows it to this process; nothing when it
// cannot be read. A fixed path under /proc, read by name.
std::optional<std::string> mountTable() {
  const FileDescriptor table(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (table.get() < 0) return std::nullopt;
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(table.get(), buffer, sizeof buffer);
    if (n == 0) return out;
    if (n < 0 && errno != EINTR) return std::nullopt;
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

std::vector<MountEntry> currentMounts() {
  const std::optional<std::string> table = mountTable();
  if (!table) return {};
  return mountEntries(*table);
}

std::optional<MountEntry> mountOf(int fd) {
  struct statx facts;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &facts) != 0 || !(facts.stx_mask & STATX_MNT_ID)) return std::nullopt;
  const std::optional<std::string> table = mountTable();
  if (!table) return std::nullopt;
  return findMountById(*table, facts.stx_mnt_id);
}

std::optional<MountEntry> mountHolding(std::string_view resolvedPath) {
  const std::optional<std::string> table = mountTable();
  if (!table) return std::nullopt;
  return findMount(*table, resolvedPath);
}

}  // namespace redomark
