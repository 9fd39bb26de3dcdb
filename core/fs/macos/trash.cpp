#include "core/fs/trash.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"
#include "core/fs/typed_path.h"
#include "core/records/unicode_text.h"
#include "core/fs/mount_table.h"

namespace redomark {

// The Trash as Finder keeps it: ~/.Trash for items on the home's volume,
// "<volume>/.Trashes/<uid>" on any other, so that nothing is ever copied
// between disks. Every trash directory is reached without following a link
// and used only when it is the user's own, as the checks below say.

namespace {

[[noreturn]] void fail(int code, const std::string& path) {
  throw FsError(code, FsOperation::trash, path);
}

// The volume's shared ".Trashes", which the system makes with the sticky bit
// and owned by root; the user's own one counts too.
bool isSharedTrash(const ItemStatus& facts) {
  return facts.kind == EntryKind::directory && (facts.mode & S_ISVTX) && (facts.owner == 0 || facts.owner == geteuid());
}

DirectoryHandle trashFor(const DirectoryHandle& directory, const ItemStatus& item, const std::string& itemPath) {
  const FsResult<DirectoryHandle> home = DirectoryHandle::open(homeDirectory());
  if (home && home->ownStatus().device == item.device) {
    FsResult<DirectoryHandle> trash = home->ownDirectory(".Trash", false);
    if (!trash) fail(trash.code(), itemPath);
    return std::move(*trash);
  }
  const std::optional<MountEntry> mount = mountOf(directory.fd());
  if (!mount) fail(ENOENT, itemPath);
  const FsResult<DirectoryHandle> top = DirectoryHandle::open(mount->mountPoint);
  if (!top) fail(top.code(), itemPath);
  if (top->ownStatus().device != item.device) fail(EXDEV, itemPath);
  const FsResult<DirectoryHandle> shared = top->child(".Trashes");
  if (!shared || !isSharedTrash(shared->ownStatus())) fail(shared ? EACCES : shared.code(), itemPath);
  FsResult<DirectoryHandle> mine = shared->ownDirectory(std::to_string(geteuid()), true);
  if (!mine) fail(mine.code(), itemPath);
  return std::move(*mine);
}

// The attempt-th name for the item in the Trash: the name itself, then
// "stem 2.ext", "stem 3.ext"... as Finder names a second item of one name.
std::string candidateName(const std::string& name, int attempt) {
  if (attempt == 1) return name;
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  const std::string tag = " " + std::to_string(attempt);
  if (stem.size() + tag.size() + extension.size() <= NAME_MAX) return stem + tag + extension;
  const size_t room = NAME_MAX - tag.size() - std::min<size_t>(extension.size(), NAME_MAX / 2);
  return std::string(cutAtCharacter(stem, room)) + tag + extension.substr(0, NAME_MAX / 2);
}

}  // namespace

std::string moveToTrash(const DirectoryHandle& directory, const std::string& name) {
  const std::string itemPath = joinPath(directory.path(), name);
  const FsResult<ItemStatus> item = directory.status(name);
  if (!item) fail(item.code(), itemPath);
  const DirectoryHandle trash = trashFor(directory, *item, itemPath);
  for (int attempt = 1;; ++attempt) {
    const std::string candidate = candidateName(name, attempt);
    const int err = directory.moveWithoutReplacing(name, trash, candidate).code();
    if (err == 0) return joinPath(trash.path(), candidate);
    if (err != EEXIST) fail(err, itemPath);
  }
}

}  // namespace redomark
