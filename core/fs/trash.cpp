#include "core/fs/trash.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fs/file_descriptor.h"
#include "core/fs/mount_table.h"
#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"
#include "core/fs/subvolume.h"
#include "core/fs/typed_path.h"
#include "core/records/unicode_text.h"

namespace redomark {

namespace {

constexpr size_t maxNameBytes = NAME_MAX;
constexpr const char* infoSuffix = ".trashinfo";
constexpr size_t infoSuffixBytes = 10;

[[noreturn]] void fail(int code, const std::string& path) {
  throw FsError(code, FsOperation::trash, path);
}

std::string homeTrashPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  // Relative values are invalid by the base directory rules and are ignored.
  if (dataHome && dataHome[0] == '/') return joinPath(dataHome, "Trash");
  return joinPath(homeDirectory(), ".local/share/Trash");
}

// Device of path, or of its nearest existing ancestor when it is not there
// yet; only to choose a trash, which is checked again once it is open.
uint64_t deviceOfNearest(const std::string& path) {
  const FsResult<ItemStatus> facts = examine(nearestExisting(path));
  return facts ? facts->device : 0;
}

// Whether name in directory is a Btrfs subvolume of the file system that holds
// path (or its nearest existing ancestor). Unlike the items inside it, a
// subvolume's root can be renamed into any directory of its file system.
bool isSubvolumeOfFileSystemAt(const DirectoryHandle& directory, const std::string& name, const std::string& path) {
  const FsResult<DirectoryHandle> item = directory.child(name);
  if (!item || !isSubvolume(item->fd())) return false;
  const FsResult<DirectoryHandle> there = DirectoryHandle::open(nearestExisting(path));
  if (!there) return false;
  const std::string id = btrfsFileSystemId(item->fd());
  return !id.empty() && id == btrfsFileSystemId(there->fd());
}

// The administrator's shared ".Trash": a real directory with the sticky bit,
// owned by root or by the user.
bool isSharedTrash(const std::optional<ItemStatus>& facts) {
  return facts && facts->kind == EntryKind::directory && (facts->mode & S_ISVTX) &&
         (facts->owner == 0 || facts->owner == geteuid());
}

// The trash at the top of a volume other than the home's: ".Trash/<uid>" in
// the administrator's shared sticky ".Trash", else ".Trash-<uid>".
FsResult<DirectoryHandle> volumeTrash(const DirectoryHandle& top) {
  const std::string uid = std::to_string(geteuid());
  if (isSharedTrash(top.status(".Trash").orNothing())) {
    if (FsResult<DirectoryHandle> shared = top.child(".Trash"); shared && isSharedTrash(shared->ownStatus()))
      if (FsResult<DirectoryHandle> mine = shared->ownDirectory(uid, true)) return mine;
  }
  return top.ownDirectory(".Trash-" + uid, true);
}

// The trash for an item of directory: the home trash on the home's volume,
// else the trash at the top of the item's own mount, so nothing is copied.
DirectoryHandle trashFor(const DirectoryHandle& directory, const std::string& name, const ItemStatus& item,
                         const std::string& itemPath) {
  const std::string home = homeTrashPath();
  if (item.device == deviceOfNearest(home)) {
    DirectoryHandle trash = DirectoryHandle::create(home, 0700);
    if (trash.ownStatus().device == item.device) return trash;
  } else if (isSubvolumeOfFileSystemAt(directory, name, home)) {
    return DirectoryHandle::create(home, 0700);
  }
  const std::optional<MountEntry> mount = mountOf(directory.fd());
  if (!mount) fail(ENOENT, itemPath);
  const FsResult<DirectoryHandle> top = DirectoryHandle::open(mount->mountPoint);
  if (!top) fail(top.code(), itemPath);
  if (top->ownStatus().device != item.device) fail(EXDEV, itemPath);
  FsResult<DirectoryHandle> trash = volumeTrash(*top);
  if (!trash) fail(trash.code(), itemPath);
  return std::move(*trash);
}

std::string percentEncoded(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

std::string localTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// The attempt-th name for the item: the name itself, then "stem.2.ext",
// "stem.3.ext"... shortened so that the info file's name still fits.
std::string candidateName(const std::string& name, int attempt) {
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  const std::string tag = attempt == 1 ? "" : "." + std::to_string(attempt);
  const size_t room = maxNameBytes - infoSuffixBytes;
  if (stem.size() + tag.size() + extension.size() <= room) return stem + tag + extension;
  if (tag.size() + extension.size() + 1 > room) return std::string(cutAtCharacter(name, room - tag.size())) + tag;
  return std::string(cutAtCharacter(stem, room - tag.size() - extension.size())) + tag + extension;
}

// Creates the info file exclusively, which is what claims the name. Returns
// false when the name is already taken; throws on any other failure.
bool claimName(const DirectoryHandle& info, const std::string& name, const std::string& contents,
               const std::string& item) {
  const int fd = openat(info.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    fail(errno, item);
  }
  const int writeError = writeAll(fd, contents);
  if (close(fd) != 0 || writeError != 0) {
    const int code = writeError != 0 ? writeError : errno;
    unlinkat(info.fd(), name.c_str(), 0);
    fail(code, item);
  }
  return true;
}

}  // namespace

std::string moveToTrash(const DirectoryHandle& directory, const std::string& name) {
  const std::string itemPath = joinPath(directory.path(), name);
  const FsResult<ItemStatus> item = directory.status(name);
  if (!item) fail(item.code(), itemPath);
  const DirectoryHandle trash = trashFor(directory, name, *item, itemPath);
  const FsResult<DirectoryHandle> info = trash.ownDirectory("info", false);
  if (!info) fail(info.code(), itemPath);
  const FsResult<DirectoryHandle> files = trash.ownDirectory("files", false);
  if (!files) fail(files.code(), itemPath);

  const std::string contents =
      "[Trash Info]\nPath=" + percentEncoded(itemPath) + "\nDeletionDate=" + localTimeNow() + "\n";
  for (int attempt = 1;; ++attempt) {
    const std::string candidate = candidateName(name, attempt);
    const std::string infoName = candidate + infoSuffix;
    if (!claimName(*info, infoName, contents, itemPath)) continue;
    const int err = directory.moveWithoutReplacing(name, *files, candidate).code();
    if (err == 0) return joinPath(files->path(), candidate);
    // An entry in files/ without its info file still takes the name; any
    // other failure leaves the item where it was, with no info file behind.
    unlinkat(info->fd(), infoName.c_str(), 0);
    if (err != EEXIST) fail(err, itemPath);
  }
}

}  // namespace redomark
