#include "core/operations/location_check.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/fs/item_status.h"
#include "core/fs/mount_table.h"
#include "core/fs/typed_path.h"
#include "core/records/redomark_error.h"

namespace redomark {

namespace {

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
      const FsResult<DirectoryHandle> top = DirectoryHandle::open(m);
      if (!top) continue;
      const FsResult<std::vector<std::string>> names = top->names();
      if (!names) continue;
      for (const std::string& name : *names) {
        if (!isVolumeStoreName(name)) continue;
        const FsResult<ItemStatus> status = top->status(name);
        if (status && status->kind == EntryKind::directory) throw RedomarkError::containsStore(p);
      }
    }
  }
}

}  // namespace

std::string checkLocation(const std::string& folder, const std::string& storeRoot, bool requireDirectory,
                          const SafetyPolicy& policy) {
  const std::string p = canonicalPath(folder);
  // Reached without following a link. The canonical path keeps a link that
  // leads nowhere as written, so such a folder is missing; a link that leads
  // somewhere was put there since.
  const FsResult<ItemStatus> examined = examine(p);
  std::optional<ItemStatus> facts;
  if (examined) facts = *examined;
  if (facts ? facts->kind == EntryKind::symlink : examined.code() == ELOOP) {
    if (resolvedPath(p)) throw RedomarkError::pathChanged(p);
    facts.reset();
  }
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
  std::string kept;
  for (size_t start = 0, end = 0; start <= relativePath.size(); start = end + 1) {
    end = std::min(relativePath.find('/', start), relativePath.size());
    const std::string_view part(relativePath.data() + start, end - start);
    if (part == "." || part == "..") throw RedomarkError::invalidRelativePath(relativePath);
    if (!part.empty()) kept.append(kept.empty() ? "" : "/").append(part);
  }
  if (relativePath.starts_with('/') || kept.empty()) throw RedomarkError::invalidRelativePath(relativePath);
  return kept;
}

}  // namespace redomark
