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

// The kernel writes space, tab, newline and backslash in paths as \ooo.
std::string unescaped(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) out.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool contains(std::string_view mountPoint, std::string_view path) {
  if (mountPoint == "/") return !path.empty() && path[0] == '/';
  return path.substr(0, mountPoint.size()) == mountPoint &&
         (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

// Fields: id, parent id, major:minor, root, mount point, options, optional
// tags, "-", type, source, super options.
std::optional<MountEntry> parseLine(std::string_view line) {
  const std::vector<std::string_view> f = fields(line);
  if (f.size() < 7) return std::nullopt;
  for (size_t i = 6; i + 1 < f.size(); ++i) {
    if (f[i] == "-")
      return MountEntry{unescaped(f[4]), unescaped(f[i + 1]), std::strtoull(std::string(f[0]).c_str(), nullptr, 10),
                        i + 3 < f.size() ? std::string(f[i + 3]) : std::string()};
  }
  return std::nullopt;
}

}  // namespace

std::vector<MountEntry> mountEntries(std::string_view table) {
  std::vector<MountEntry> entries;
  size_t start = 0;
  while (start < table.size()) {
    size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    if (std::optional<MountEntry> entry = parseLine(table.substr(start, end - start))) entries.push_back(std::move(*entry));
    start = end + 1;
  }
  return entries;
}

std::optional<MountEntry> findMount(std::string_view table, std::string_view resolvedPath) {
  std::optional<MountEntry> best;
  for (MountEntry& entry : mountEntries(table)) {
    if (!contains(entry.mountPoint, resolvedPath)) continue;
    if (!best || entry.mountPoint.size() >= best->mountPoint.size()) best = std::move(entry);
  }
  return best;
}

std::optional<MountEntry> findMountById(std::string_view table, uint64_t id) {
  for (MountEntry& entry : mountEntries(table))
    if (entry.id == id) return std::move(entry);
  return std::nullopt;
}

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
