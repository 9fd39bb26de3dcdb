#include <cerrno>
#include <cstring>

#include "core/fs/path_text.h"
#include "core/fs/readable_file.h"
#include "core/operations/location_check.h"
#include "core/fs/typed_path.h"
#include "core/fs/walker.h"
#include "core/operations/manifest_comparison.h"
#include "core/operations/redomark.h"
#include "core/operations/saved_manifest.h"
#include "core/records/redomark_error.h"
#include "core/store/fs_failure.h"
#include "core/store/held_checkpoint.h"

namespace redomark {

namespace {

std::vector<Change> betweenCheckpoints(const HeldCheckpoint& from, const HeldCheckpoint& to,
                                       const std::optional<std::string>& item) {
  // Both manifests are read at once, each on a thread of its own.
  SavedManifest earlier(from.directory(), item);
  SavedManifest later(to.directory(), item);
  earlier.wait();
  later.wait();
  ManifestComparison comparison(earlier);
  const ManifestTable& table = later.table();
  for (size_t i = 0; i < table.size(); ++i) {
    const ManifestTable::Row& row = table.rows[i];
    comparison.add(table.path(i), row.kind, row.size, row.mtimeNs);
  }
  return comparison.finish();
}

[[noreturn]] void unreadable(const std::string& path, int code) {
  throw fsFailure(code, FsOperation::read, path);
}

// The item in the folder now and everything below it, in walk order; nothing
// when it or the folder is gone.
std::vector<WalkEntry> currentItem(const std::string& folder, const std::string& item) {
  std::vector<WalkEntry> found;
  const FsResult<DirectoryHandle> root = DirectoryHandle::open(folder);
  if (!root) {
    if (root.code() == ENOENT || root.code() == ENOTDIR) return found;
    unreadable(folder, root.code());
  }
  const std::string parentPath = relativeParent(item);
  const std::string name = lastComponent(item);
  const FsResult<DirectoryHandle> parent = root->descend(parentPath);
  if (!parent) {
    if (parent.code() == ENOENT || parent.code() == ENOTDIR) return found;
    if (parent.code() == ELOOP || parent.code() == EXDEV) throw RedomarkError::invalidRelativePath(item);
    unreadable(joinPath(folder, parentPath), parent.code());
  }
  const FsResult<ItemStatus> facts = parent->status(name);
  if (!facts) return found;
  found.push_back(WalkEntry{item, facts->kind, facts->size, facts->mtimeNs});
  if (facts->kind != EntryKind::directory || facts->mountRoot) return found;
  const FsResult<DirectoryHandle> directory = parent->child(name);
  if (!directory) unreadable(joinPath(folder, item), directory.code());
  walk(*directory, nullptr, [&](const WalkEntry& e) {
    found.push_back(e);
    found.back().path = item + "/" + e.path;
  }, WalkPace::openAhead);
  return found;
}

std::vector<Change> changesOfItem(const std::string& folder, const HeldCheckpoint& from, const std::string& item) {
  SavedManifest saved(from.directory(), item);
  const std::vector<WalkEntry> current = currentItem(folder, item);
  saved.wait();
  ManifestComparison comparison(saved);
  for (const WalkEntry& e : current) comparison.add(e.path, e.kind, e.size, e.mtimeNs);
  return comparison.finish();
}

// The regular file at a relative path below root, no link followed on the
// way; nothing for anything else.
std::optional<ReadableFile> regularFile(const DirectoryHandle& root, const std::string& relative) {
  const FsResult<DirectoryHandle> parent = root.descend(relativeParent(relative));
  if (!parent) return std::nullopt;
  return ReadableFile::open(*parent, lastComponent(relative)).orNothing();
}

std::optional<ReadableFile> savedFile(const HeldCheckpoint& held, const std::string& relative) {
  std::optional<ReadableFile> file = regularFile(held.data(), relative);
  if (!file) held.confirmWhole();
  return file;
}

std::string patchOf(const Change& change, const HeldCheckpoint& from, const HeldCheckpoint* to,
                    const std::optional<DirectoryHandle>& folder) {
  if (change.isDirectory) return {};
  std::optional<ReadableFile> before, after;
  if (change.kind != Change::Kind::added) before = savedFile(from, change.path);
  if (change.kind != Change::Kind::deleted) {
    if (to)
      after = savedFile(*to, change.path);
    else if (folder)
      after = regularFile(*folder, change.path);
  }
  // A file on both sides, or one that was added or deleted; not one that
  // became or stopped being something else.
  const bool wanted = change.kind == Change::Kind::modified ? before && after
                      : change.kind == Change::Kind::added  ? bool(after)
                                                            : bool(before);
  if (!wanted) return {};
  return unifiedDiff(before ? &*before : nullptr, before ? "a/" + change.path : "/dev/null",
                     after ? &*after : nullptr, after ? "b/" + change.path : "/dev/null");
}

}  // namespace

DiffResult Redomark::diff(const std::string& folder, const DiffRequest& request) const try {
  const std::string canonical = canonicalPath(folder);
  const std::optional<std::string> item =
      request.item ? std::optional(validateRelativePath(*request.item)) : std::nullopt;
  const CheckpointStore store = storeFor(canonical);
  DiffResult result{store.resolve(request.id, canonical), {}};
  if (request.id2) result.second = store.resolve(*request.id2, canonical);
  result.item = item;
  if (!result.second && !item && !request.patches) {
    result.changes = computeChanges(canonical, result.checkpoint, store);
    return result;
  }
  // Held from the start, so that a checkpoint deleted meanwhile is told from
  // one that lacks an item.
  const HeldCheckpoint from(store, result.checkpoint);
  std::optional<HeldCheckpoint> to;
  if (result.second && result.second->id != result.checkpoint.id) to.emplace(store, *result.second);
  const auto confirmWhole = [&] {
    from.confirmWhole();
    if (to) to->confirmWhole();
  };
  try {
    if (to)
      result.changes = betweenCheckpoints(from, *to, item);
    else if (!result.second && item)
      result.changes = changesOfItem(canonical, from, *item);
    else if (!result.second)
      result.changes = computeChanges(canonical, result.checkpoint, store);
  } catch (...) {
    // A manifest that vanished with its checkpoint is no damage of it.
    confirmWhole();
    throw;
  }
  confirmWhole();
  if (!request.patches) return result;
  std::optional<DirectoryHandle> current;
  if (!result.second) current = DirectoryHandle::open(canonical).orNothing();
  result.patches.reserve(result.changes.size());
  for (const Change& change : result.changes)
    result.patches.push_back(patchOf(change, from, to ? &*to : nullptr, current));
  return result;
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
