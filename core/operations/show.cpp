#include <cerrno>
#include <system_error>

#include "core/fs/path_text.h"
#include "core/fs/readable_file.h"
#include "core/operations/location_check.h"
#include "core/fs/typed_path.h"
#include "core/operations/path_order.h"
#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "core/store/fs_failure.h"
#include "core/store/held_checkpoint.h"

namespace redomark {

namespace {

// Fails for an item that could not be read: as deleted when the checkpoint
// went meanwhile, else with the reason.
[[noreturn]] void unreadable(const HeldCheckpoint& held, const std::string& path, int code) {
  held.confirmWhole();
  throw fsFailure(code, FsOperation::read, path);
}

std::vector<ListedItem> listing(const HeldCheckpoint& held, const DirectoryHandle& directory) {
  const FsResult<std::vector<std::string>> names = directory.names();
  if (!names) unreadable(held, directory.path(), names.code());
  std::vector<ListedItem> items;
  items.reserve(names->size());
  for (const std::string& name : *names) {
    const FsResult<ItemStatus> facts = directory.status(name);
    // Only a deletion takes entries out of a checkpoint; the check at the end tells.
    if (!facts) continue;
    ListedItem item{name, facts->kind, facts->size, facts->mtimeNs, std::nullopt};
    if (facts->kind == EntryKind::symlink) {
      FsResult<std::string> target = linkTarget(directory, name);
      if (!target) unreadable(held, joinPath(directory.path(), name), target.code());
      item.target = std::move(*target);
    }
    items.push_back(std::move(item));
  }
  std::vector<const std::string*> paths;
  for (const ListedItem& item : items) paths.push_back(&item.name);
  std::vector<ListedItem> sorted;
  sorted.reserve(items.size());
  for (size_t i : pathOrder(paths)) sorted.push_back(std::move(items[i]));
  return sorted;
}

}  // namespace

ShowResult Redomark::show(const std::string& folder, const std::optional<std::string>& id,
                          const std::optional<std::string>& item) const try {
  const std::string canonical = canonicalPath(folder);
  const std::optional<std::string> relative = item ? std::optional(validateRelativePath(*item)) : std::nullopt;
  const CheckpointStore store = storeFor(canonical);
  ShowResult result;
  result.checkpoint = store.resolve(id, canonical);
  const HeldCheckpoint held(store, result.checkpoint);
  if (!relative) {
    result.items = listing(held, held.data());
    held.confirmWhole();
    return result;
  }
  const std::string name = lastComponent(*relative);
  // A link or anything but a directory among the saved parents means the item isn't there.
  const FsResult<DirectoryHandle> parent = held.data().descend(relativeParent(*relative));
  const std::optional<ItemStatus> facts = parent ? parent->status(name).orNothing() : std::nullopt;
  if (!facts) {
    held.confirmWhole();
    throw RedomarkError::notInCheckpoint(*relative);
  }
  result.kind = facts->kind;
  const std::string path = joinPath(parent->path(), name);
  if (facts->kind == EntryKind::file) {
    FsResult<ReadableFile> file = ReadableFile::open(*parent, name);
    if (!file) unreadable(held, path, file.code());
    result.file = std::move(*file);
  } else if (facts->kind == EntryKind::symlink) {
    FsResult<std::string> target = linkTarget(*parent, name);
    if (!target) unreadable(held, path, target.code());
    result.target = std::move(*target);
  } else if (facts->kind == EntryKind::directory) {
    const FsResult<DirectoryHandle> directory = parent->child(name);
    if (!directory) unreadable(held, path, directory.code());
    result.items = listing(held, *directory);
  }
  held.confirmWhole();
  return result;
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
