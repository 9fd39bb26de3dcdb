// Reading the kernel's table of mounts (/proc/self/mountinfo) as text: pure
// functions, the same wherever they are built.
#include "core/fs/mount_table.h"

#include <cstdlib>
#include <vector>

namespace redomark {

namespace {

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

}  // namespace redomark
