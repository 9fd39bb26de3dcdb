#include "core/store/checkpoint_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <cerrno>
#include <cstring>
#include <exception>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "core/fs/platform.h"
#include "core/fs/private_space.h"
#include "core/fs/subvolume.h"
#include "core/fs/volume.h"
#include "core/records/record_coding.h"
#include "core/records/redomark_error.h"
#include "core/records/unicode_text.h"
#include "core/store/fs_failure.h"

namespace redomark {

namespace {

constexpr const char* lockName = ".lock";
constexpr const char* deletingPrefix = ".deleting-";
constexpr const char* partialSuffix = ".partial";
constexpr const char* temporaryPrefix = ".temporary-";
constexpr const char* sharedStoreName = ".redomark-checkpoints";

// Backup tools that honour the cache-directory convention skip the store.
constexpr const char* cacheDirectoryTag =
    "Signature: 8a477f597d28d172789f06886806bc55\n"
    "# This file is a cache directory tag created by Redomark.\n"
    "# Its checkpoints live on the same disk as their folders and are no backup.\n"
    "# For information about cache directory tags, see https://bford.info/cachedir/\n";

bool isPartialName(const std::string& name) { return name.ends_with(partialSuffix); }

// Appends the decodable records of one folder directory, in listing order.
// Hidden names (".lock", ".deleting-" ones) and partial checkpoints are never
// records; neither are links planted in place of a checkpoint directory.
void collectRecords(const DirectoryHandle& folderDirectory, std::vector<Checkpoint>& out) {
  const auto names = folderDirectory.names();
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.starts_with(".") || isPartialName(name)) continue;
    const auto checkpointDirectory = folderDirectory.child(name);
    if (!checkpointDirectory) continue;
    const auto meta = checkpointDirectory->readFile("meta.json");
    if (!meta) continue;
    try {
      Checkpoint record = decodeStoreRecord(*meta);
      // Every later step finds the checkpoint by its id: a record naming some
      // other directory could lead a diff, restore or deletion out of the store.
      if (record.id == name) out.push_back(std::move(record));
    } catch (const std::exception&) {
      // A damaged record hides only its own checkpoint.
    }
  }
}

void writeMarkerIfMissing(const DirectoryHandle& root, const std::string& name, const char* content) {
  if (root.status(name)) return;
  try {
    root.writeNewFile(name, content, 0600);
  } catch (const std::exception&) {
    // The markers only keep indexers and backups out; the store works without them.
  }
}

// A private directory of the user's below parent, made when missing; anything
// else there is refused, since its owner could read or replace what the
// store keeps. Returns nothing, with the errno, when it could not be made.
// A store's root is made a Btrfs subvolume where it can be: Btrfs keeps a
// tree of items per subvolume, so that a save into the store and a restore's
// copy beside its folder don't wait on each other's locks.
std::optional<DirectoryHandle> privateStoreDirectory(const DirectoryHandle& parent, const std::string& name,
                                                     int& makeError, bool storeRoot = false) {
  const int subvolume = storeRoot ? createPrivateSubvolume(parent, name) : ENOTSUP;
  // Elsewhere (another file system, a subvolume refused) a plain directory.
  makeError = subvolume == 0 || subvolume == EEXIST ? 0 : parent.makeDirectoryIfMissing(name, 0700).code();
  if (makeError != 0) return std::nullopt;
  const std::string path = joinPath(parent.path(), name);
  FsResult<DirectoryHandle> made = parent.child(name);
  if (!made) {
    if (made.code() == ELOOP || made.code() == ENOTDIR) throw RedomarkError::unsafeStore(path);
    throw fsFailure(made.code(), FsOperation::open, path);
  }
  const ItemStatus facts = made->ownStatus();
  if (facts.owner != geteuid() || (facts.mode & 077) != 0) throw RedomarkError::unsafeStore(path);
  return std::move(made).orNothing();
}

DirectoryHandle privateStoreDirectory(const DirectoryHandle& parent, const std::string& name, bool storeRoot = false) {
  int makeError = 0;
  std::optional<DirectoryHandle> made = privateStoreDirectory(parent, name, makeError, storeRoot);
  if (!made) throw fsFailure(makeError, FsOperation::create, joinPath(parent.path(), name));
  return std::move(*made);
}

// A directory that an administrator shared for every user's store: owned by
// root and sticky, so nobody can move another user's store away.
bool isSharedStoreParent(const ItemStatus& facts) {
  return facts.kind == EntryKind::directory && facts.owner == 0 && (facts.mode & S_ISVTX) != 0;
}

// An id read from a damaged record must not lead a rename, removal or walk
// out of its folder directory.
bool isSingleComponent(const std::string& id) {
  return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos;
}

bool holdsOnlyLock(const std::vector<std::string>& names) {
  return std::all_of(names.begin(), names.end(), [](const std::string& n) { return n == lockName; });
}

}  // namespace

CheckpointStore storeForFolder(const std::string& folder, const std::string& defaultRoot) try {
  const VolumeInfo folderVolume = readVolumeInfo(folder);
  if (sameFileSystem(readVolumeInfo(nearestExisting(defaultRoot)), folderVolume)) return CheckpointStore(defaultRoot);
  return CheckpointStore(volumeStoreRoot(folderVolume.mountPoint), folderVolume.mountPoint);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

std::string volumeStoreRoot(const std::string& mountPoint) {
  const std::string uid = std::to_string(geteuid());
  const std::string shared = joinPath(mountPoint, sharedStoreName);
  if (const FsResult<DirectoryHandle> top = DirectoryHandle::open(mountPoint)) {
    const FsResult<ItemStatus> status = top->status(sharedStoreName);
    if (status && isSharedStoreParent(*status)) return joinPath(shared, uid);
  }
  return shared + "-" + uid;
}

std::string CheckpointStore::folderDirectory(const std::string& sourcePath) const {
  return joinPath(root_, folderKey(sourcePath));
}

std::string CheckpointStore::checkpointDirectory(const Checkpoint& c) const {
  return joinPath(folderDirectory(c.sourcePath), c.id);
}

std::string CheckpointStore::dataDirectory(const Checkpoint& c) const {
  return joinPath(checkpointDirectory(c), "data");
}

std::optional<DirectoryHandle> CheckpointStore::heldRoot() const {
  if (!held_) return std::nullopt;
  try {
    return held_->reopen();
  } catch (const FsError&) {
    return std::nullopt;  // removed meanwhile: reached afresh, and checked again
  }
}

DirectoryHandle CheckpointStore::hold(DirectoryHandle root) const {
  held_ = std::make_shared<const DirectoryHandle>(root.reopen());
  return root;
}

DirectoryHandle CheckpointStore::ensureRoot() const try {
  if (std::optional<DirectoryHandle> root = heldRoot()) return std::move(*root);
  DirectoryHandle root = volumeMountPoint_.empty() ? ensureDefaultRoot() : ensureVolumeRoot();
  writeMarkerIfMissing(root, "CACHEDIR.TAG", cacheDirectoryTag);
  writeMarkerIfMissing(root, ".metadata_never_index", "");
  excludeFromSystemBackups(root);
  return hold(std::move(root));
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

DirectoryHandle CheckpointStore::ensureDefaultRoot() const {
  const DirectoryHandle parent = DirectoryHandle::create(parentPath(root_), 0700);
  return privateStoreDirectory(parent, lastComponent(root_), true);
}

// Only the user's own directory is ever made at the mount point: the shared
// one is an administrator's, and the mount point itself is never created.
DirectoryHandle CheckpointStore::ensureVolumeRoot() const {
  FsResult<DirectoryHandle> parent = DirectoryHandle::open(parentPath(root_));
  if (!parent) throw RedomarkError::storeNotCreatable(volumeMountPoint_, root_, parent.code());
  if (parent->path() != volumeMountPoint_ && !isSharedStoreParent(parent->ownStatus()))
    throw RedomarkError::unsafeStore(parent->path());
  int makeError = 0;
  std::optional<DirectoryHandle> root = privateStoreDirectory(*parent, lastComponent(root_), makeError, true);
  if (!root) throw RedomarkError::storeNotCreatable(volumeMountPoint_, root_, makeError);
  return std::move(*root);
}

DirectoryHandle CheckpointStore::ensureFolderDirectory(const DirectoryHandle& root, const std::string& sourcePath) const try {
  return privateStoreDirectory(root, folderKey(sourcePath));
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

FsResult<DirectoryHandle> CheckpointStore::openRoot() const {
  if (std::optional<DirectoryHandle> root = heldRoot()) return std::move(*root);
  FsResult<DirectoryHandle> root = DirectoryHandle::open(root_);
  if (!root) {
    if (root.code() == ELOOP || root.code() == ENOTDIR) throw RedomarkError::unsafeStore(root_);
    return root;
  }
  // Records in a directory that someone else can write could name any folder.
  if (!root->isPrivate()) throw RedomarkError::unsafeStore(root_);
  try {
    return hold(std::move(*root));
  } catch (const FsError& failure) {
    return failure;
  }
}

FsResult<DirectoryHandle> CheckpointStore::openFolderDirectory(const std::string& sourcePath) const {
  const FsResult<DirectoryHandle> root = openRoot();
  if (!root) return root.error();
  return root->child(folderKey(sourcePath));
}

FsResult<DirectoryHandle> CheckpointStore::openData(const Checkpoint& c) const {
  if (!isSingleComponent(c.id)) return FsError(EINVAL, FsOperation::open, checkpointDirectory(c));
  const FsResult<DirectoryHandle> folderDirectory = openFolderDirectory(c.sourcePath);
  if (!folderDirectory) return folderDirectory.error();
  const FsResult<DirectoryHandle> checkpoint = folderDirectory->child(c.id);
  if (!checkpoint) return checkpoint.error();
  return checkpoint->child("data");
}

const Checkpoint& latestUndoPoint(const std::vector<Checkpoint>& list) {
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->kind != Checkpoint::Kind::beforeRestore) return *it;
  return list.back();
}

std::vector<Checkpoint> CheckpointStore::checkpoints(const std::string& folder) const {
  std::vector<Checkpoint> found;
  if (const auto directory = openFolderDirectory(folder)) collectRecords(*directory, found);
  // Keys can collide; the recorded path says whose checkpoint it is.
  std::erase_if(found, [&](const Checkpoint& c) { return c.sourcePath != folder; });
  std::stable_sort(found.begin(), found.end(), [](const Checkpoint& a, const Checkpoint& b) {
    if (a.createdAt != b.createdAt) return a.createdAt < b.createdAt;
    return nfcLess(a.id, b.id);
  });
  return found;
}

std::vector<Checkpoint> CheckpointStore::allCheckpoints() const {
  const auto root = openRoot();
  if (!root) return {};
  return allCheckpoints(*root);
}

std::vector<Checkpoint> CheckpointStore::allCheckpoints(const DirectoryHandle& root) {
  std::vector<Checkpoint> found;
  const auto names = root.names();
  if (!names) return found;
  for (const std::string& name : *names) {
    if (const auto directory = root.child(name)) collectRecords(*directory, found);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Checkpoint& a, const Checkpoint& b) { return a.createdAt < b.createdAt; });
  return found;
}

Checkpoint CheckpointStore::resolve(const std::optional<std::string>& id, const std::string& folder) const {
  std::vector<Checkpoint> list = checkpoints(folder);
  if (list.empty()) throw RedomarkError::noCheckpoints(folder);
  if (!id || *id == "latest") return latestUndoPoint(list);

  const std::string wanted = toNFC(*id);
  std::vector<const Checkpoint*> matches;
  const Checkpoint* exact = nullptr;
  for (const Checkpoint& c : list) {
    const std::string candidate = toNFC(c.id);
    if (!candidate.starts_with(wanted)) continue;
    matches.push_back(&c);
    if (!exact && candidate == wanted) exact = &c;
  }
  if (matches.empty()) throw RedomarkError::checkpointNotFound(*id);
  if (matches.size() == 1) return *matches.front();
  if (exact) return *exact;
  std::vector<std::string> ids;
  ids.reserve(matches.size());
  for (const Checkpoint* c : matches) ids.push_back(c->id);
  throw RedomarkError::ambiguousCheckpoint(*id, std::move(ids));
}

void CheckpointStore::deleteCheckpoint(const Checkpoint& c) const try {
  if (!isSingleComponent(c.id)) throw RedomarkError::io("Couldn't delete " + c.id + ": " + std::strerror(EINVAL));
  const auto parent = openFolderDirectory(c.sourcePath);
  if (!parent) throw fsFailure(parent.code(), FsOperation::open, folderDirectory(c.sourcePath));
  const std::string trash = deletingPrefix + c.id;
  // One rename withdraws the checkpoint from every listing before the slow removal.
  parent->rename(c.id, trash);
  parent->removeTree(trash);
  removeFolderDirectoryIfOnlyLock(c.sourcePath);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

bool CheckpointStore::contains(const Checkpoint& c) const {
  if (!isSingleComponent(c.id)) return false;
  const auto directory = openFolderDirectory(c.sourcePath);
  return directory && directory->status(c.id);
}

void CheckpointStore::removeLeftovers(const std::string& folder) const {
  const auto directory = openFolderDirectory(folder);
  if (!directory) return;
  const auto names = directory->names();
  if (!names) return;
  for (const std::string& name : *names) {
    if (!isPartialName(name) && !name.starts_with(deletingPrefix)) continue;
    try {
      directory->removeTree(name);
    } catch (const std::exception&) {
      // Tried again before the next save of this folder.
    }
  }
}

std::string CheckpointStore::noteTemporary(const std::string& folder, const std::string& relativePath) const try {
  const DirectoryHandle root = ensureRoot();
  const DirectoryHandle directory = ensureFolderDirectory(root, folder);
  std::random_device secure;
  for (;;) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%08x", temporaryPrefix, static_cast<unsigned>(secure()));
    if (directory.status(name)) continue;
    directory.writeNewFile(name, relativePath, 0600);
    return name;
  }
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

void CheckpointStore::forgetTemporary(const std::string& folder, const std::string& note) const {
  try {
    if (const auto directory = openFolderDirectory(folder)) directory->removeEntry(note);
  } catch (const std::exception&) {
    // Its entry is gone by now; the next operation drops the note.
  }
}

std::vector<std::pair<std::string, std::string>> CheckpointStore::temporaries(const std::string& folder) const {
  std::vector<std::pair<std::string, std::string>> found;
  const auto directory = openFolderDirectory(folder);
  if (!directory) return found;
  const auto names = directory->names();
  if (!names) return found;
  for (const std::string& name : *names) {
    if (!name.starts_with(temporaryPrefix)) continue;
    if (FsResult<std::string> path = directory->readFile(name)) found.emplace_back(name, std::move(*path));
  }
  return found;
}

int64_t CheckpointStore::uniqueBytes(const Checkpoint& c) const try {
  if (!isSingleComponent(c.id)) return 0;
  const FsResult<DirectoryHandle> folderDirectory = openFolderDirectory(c.sourcePath);
  const FsResult<DirectoryHandle> checkpoint = folderDirectory ? folderDirectory->child(c.id) : folderDirectory.error();
  if (!checkpoint) return 0;
  // Its records and the copies' own ones are the checkpoint's alone, like
  // the data it no longer shares; a snapshot shares its tree's records too.
  const SpaceBelow space = spaceBelow(*checkpoint);
  const FsResult<DirectoryHandle> data = checkpoint->child("data");
  if (!data || isSubvolume(*data)) return space.privateBytes;
  return space.privateBytes + recordBytes(readRecordGeometry(*data), space.items);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

void CheckpointStore::removeFolderDirectoryIfOnlyLock(const std::string& sourcePath) const {
  const auto root = openRoot();
  if (!root) return;
  const std::string key = folderKey(sourcePath);
  const auto directory = root->child(key);
  if (!directory) return;
  const auto names = directory->names();
  if (!names || !holdsOnlyLock(*names)) return;
  try {
    root->removeTree(key);
  } catch (const std::exception&) {
    // An empty folder directory costs nothing and is reused by the next save.
  }
}

}  // namespace redomark
