#include "core/fs/safety_policy.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>

#include "core/fs/directory_handle.h"
#include "core/fs/file_ops.h"
#include "core/fs/item_status.h"
#include "core/fs/mount_table.h"
#include "core/records/redomark_error.h"

namespace redomark {

namespace {

std::vector<std::string> splitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < parts.size(); ++i) {
    if (i > from) out += '/';
    out += parts[i];
  }
  return out;
}

// "~" expanded, "." and empty components dropped, ".." taken back textually.
std::string standardized(const std::string& path) {
  const std::string expanded = expandTilde(path);
  const bool absolute = !expanded.empty() && expanded[0] == '/';
  std::vector<std::string> kept;
  for (std::string& part : splitComponents(expanded)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
        continue;
      }
      if (absolute) continue;  // ".." of the root is the root
    }
    kept.push_back(std::move(part));
  }
  if (absolute) return "/" + joined(kept);
  return kept.empty() ? "." : joined(kept);
}

// Path without its last component: "" for a single relative component.
std::string withoutLastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether path lies strictly below directory. The "/" keeps /Systematic out of /System.
bool isBelow(const std::string& path, const std::string& directory) {
  if (directory == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > directory.size() && path[directory.size()] == '/' && path.starts_with(directory);
}

// Stores at mount points, every user's: a folder inside one, or holding one,
// would save or restore a store.
void checkVolumeStores(const std::string& p) {
  for (const MountEntry& mount : currentMounts()) {
    const std::string& m = mount.mountPoint;
    if (isBelow(p, m)) {
      const size_t start = m == "/" ? 1 : m.size() + 1;
      const std::string_view first = std::string_view(p).substr(start, p.find('/', start) - start);
      if (isVolumeStoreName(first)) throw RedomarkError::insideStore(p);
    } else if (m == p || isBelow(m, p)) {
      const std::optional<DirectoryHandle> top = DirectoryHandle::open(m);
      const std::optional<std::vector<std::string>> names = top ? top->names() : std::nullopt;
      if (!names) continue;
      for (const std::string& name : *names) {
        if (!isVolumeStoreName(name)) continue;
        const std::optional<ItemStatus> status = top->status(name);
        if (status && status->kind == EntryKind::directory) throw RedomarkError::containsStore(p);
      }
    }
  }
}

}  // namespace

SafetyPolicy defaultSafetyPolicy() {
  return {
      {"/proc", "/sys", "/dev", "/run", "/boot", "/etc", "/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
       "/libx32", "/snap", "/nix", "/var/lib", "/var/log", "/var/cache", "/var/spool"},
      {"/", "/home", "/var", "/var/home", "/var/tmp", "/tmp", "/mnt", "/media", "/opt", "/srv"},
  };
}

SafetyPolicy macSafetyPolicy() {
  return {
      {"/System", "/usr", "/bin", "/sbin", "/private/var", "/private/etc", "/Library", "/dev", "/cores"},
      {"/", "/Users", "/Volumes", "/Applications", "/private", "/opt"},
  };
}

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  const size_t slash = path.find('/');
  const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  if (user.empty()) return homeDirectory() + rest;
  const passwd* pw = getpwnam(user.c_str());
  return pw && pw->pw_dir ? pw->pw_dir + rest : path;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  char* out = realpath(path.c_str(), nullptr);
  if (!out) return std::nullopt;
  std::string result = out;
  std::free(out);
  return result;
}

std::optional<ItemStatus> examineNamed(const std::string& path) {
  const std::optional<std::string> real = resolvedPath(path);
  if (!real) return std::nullopt;
  return examine(*real);
}

std::string canonicalPath(const std::string& path) {
  std::string current = standardized(path);
  if (std::optional<std::string> whole = resolvedPath(current)) return *whole;
  std::vector<std::string> missing;  // bottom-up
  std::optional<std::string> ancestor;
  while (!ancestor) {
    if (current == "/" || current.empty()) return path;
    missing.push_back(lastComponent(current));
    current = withoutLastComponent(current);
    ancestor = resolvedPath(current);
  }
  std::string out = *ancestor == "/" ? "" : *ancestor;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) out += "/" + *it;
  return out;
}

bool isVolumeStoreName(std::string_view name) {
  constexpr std::string_view shared = ".redomark-checkpoints";
  if (name == shared) return true;
  if (name.size() <= shared.size() + 1 || !name.starts_with(shared) || name[shared.size()] != '-') return false;
  return name.find_first_not_of("0123456789", shared.size() + 1) == std::string_view::npos;
}

std::string checkLocation(const std::string& folder, const std::string& storeRoot, bool requireDirectory,
                          const SafetyPolicy& policy) {
  const std::string p = canonicalPath(folder);
  // Reached without following a link: p is canonical, so a link there now was put there since.
  const std::optional<ItemStatus> facts = examine(p);
  if (!facts && errno == ELOOP) throw RedomarkError::pathChanged(p);
  if ((facts && facts->kind != EntryKind::directory) || (!facts && requireDirectory))
    throw RedomarkError::notADirectory(folder);
  const std::string s = canonicalPath(storeRoot);
  if (p == s || isBelow(p, s)) throw RedomarkError::insideStore(p);
  if (isBelow(s, p)) throw RedomarkError::containsStore(p);
  for (const std::string& exact : policy.forbiddenExact)
    if (p == exact) throw RedomarkError::forbiddenLocation(p);
  for (const std::string& tree : policy.forbiddenTrees)
    if (p == tree || isBelow(p, tree)) throw RedomarkError::forbiddenLocation(p);
  checkVolumeStores(p);
  return p;
}

std::string validateRelativePath(const std::string& relativePath) {
  const std::vector<std::string> parts = splitComponents(relativePath);
  if (relativePath.starts_with('/') || parts.empty()) throw RedomarkError::invalidRelativePath(relativePath);
  for (const std::string& part : parts)
    if (part == "." || part == "..") throw RedomarkError::invalidRelativePath(relativePath);
  return joined(parts);
}

}  // namespace redomark
