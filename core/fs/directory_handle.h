// An open directory reached without following any symbolic link, and the
// verbs that act on entries inside it. Everything that writes, moves or
// removes goes through one of these, so that a link or a renamed parent
// planted after a check can never lead the work somewhere else. Owns its
// descriptor; not shared between threads.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "core/fs/fs_error.h"
#include "core/fs/item_status.h"

namespace redomark {

// Opens the directory at relativePath below the open directory directoryFd as
// descend does; the descriptor, or -1 with errno.
int openDirectoryBelow(int directoryFd, std::string_view relativePath);

// A descriptor (O_PATH; O_EVTONLY on macOS) of whatever is at an absolute
// path, reached from "/" without following any link, the last component
// included; opening it acts on nothing, a device or a FIFO included. -1 with
// errno otherwise.
int openToExamine(const std::string& absolutePath);
// Facts of whatever is at an absolute path, reached as openToExamine reaches
// it (a link at the last component is examined itself); else the FsError
// (FsOperation::examine; ELOOP for a link on the way).
FsResult<ItemStatus> examine(const std::string& absolutePath);
// The nearest of an absolute path and its ancestors that examine reaches;
// "/" when none is.
std::string nearestExisting(const std::string& absolutePath);

class DirectoryHandle {
 public:
  // The directory at an absolute path, reached from "/" without following a
  // link anywhere on the way. Nothing when it is missing, not a directory,
  // unreadable, or a link is on the way; the FsError (FsOperation::open) then
  // says which (ELOOP for a link).
  static FsResult<DirectoryHandle> open(const std::string& absolutePath);
  // The directory at an absolute path, its missing components created with
  // mode (less the umask) as mkdir -p would, none of them reached through a
  // link. Throws FsError naming the path.
  static DirectoryHandle create(const std::string& absolutePath, mode_t mode = 0777);

  DirectoryHandle(DirectoryHandle&& other) noexcept;
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle();

  // The path this directory was reached by; for messages only.
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // The directory's own facts; throws FsError.
  ItemStatus ownStatus() const;
  // The same directory under a descriptor of its own. Throws FsError.
  DirectoryHandle reopen() const;
  // True when it belongs to the effective user and nobody else may read,
  // write or enter it; false also when its facts cannot be read.
  bool isPrivate() const;

  // The subdirectory name (a link there is not followed); else the FsError
  // (FsOperation::open; ELOOP or ENOTDIR for a link).
  FsResult<DirectoryHandle> child(const std::string& name) const;
  // The directory below this one at a relative path, with no link and no
  // other mount on the way, whatever its length; "" is this one again.
  // Else the FsError (FsOperation::open): ELOOP for a link, EXDEV for a mount
  // point, ENOTDIR, ENOENT or the like.
  FsResult<DirectoryHandle> descend(std::string_view relativePath) const;
  // Facts of the entry name, a link not followed ("" for this directory
  // itself); the FsError (FsOperation::examine) when it is missing or cannot
  // be examined.
  FsResult<ItemStatus> status(const std::string& name) const;
  // Names without "." and ".."; the FsError (FsOperation::list) when the
  // directory cannot be listed.
  FsResult<std::vector<std::string>> names() const;

  // The whole regular file name (a link there is not followed); the FsError
  // (FsOperation::read) when it cannot be read.
  FsResult<std::string> readFile(const std::string& name) const;
  // The same file handed to piece in the order read, a block at a time; fails
  // (FsOperation::read) when it cannot be opened or read, some pieces perhaps
  // handed over. Whatever piece throws is passed on.
  FsStatus readFile(const std::string& name, const std::function<void(std::string_view)>& piece) const;

  // The regular file name, owned by the effective user and of at most
  // maxBytes, opened without following a link or waiting on a FIFO. Else the
  // FsError (FsOperation::read): ENOENT when it is missing, EPERM when it
  // isn't a regular file of the user's, EFBIG when it is larger, else the errno.
  FsResult<std::string> readOwnFile(const std::string& name, size_t maxBytes) const;
  // The subdirectory name, made 0700 when missing and reached without
  // following a link. EACCES when it isn't the user's own or, with
  // exactly0700, anyone else may read, write or enter it.
  FsResult<DirectoryHandle> ownDirectory(const std::string& name, bool exactly0700) const;

  // Makes the subdirectory name with mode (less the umask) unless something
  // is there already. Fails (FsOperation::create) only when nothing is there
  // afterwards.
  FsStatus makeDirectoryIfMissing(const std::string& name, mode_t mode) const;
  // A new subdirectory name with mode 0700; EEXIST when anything is there.
  // Throws FsError.
  DirectoryHandle makePrivateDirectory(const std::string& name) const;
  // Creates the file name, which must not exist (no link is followed), for
  // writing with mode. Returns its descriptor; throws FsError.
  int createFile(const std::string& name, mode_t mode) const;
  // Writes bytes to the new file name (created as createFile does). Throws.
  void writeNewFile(const std::string& name, std::string_view bytes, mode_t mode) const;
  // Puts a file with exactly bytes and mode at name, whatever was there, so
  // that after a crash name holds either the old or the whole new content:
  // written under a temporary name, synced, renamed over name, and the
  // directory synced. Throws FsError; no temporary file remains.
  void replaceFile(const std::string& name, std::string_view bytes, mode_t mode) const;

  // Renames an entry within this directory, replacing the target. Throws
  // FsError.
  void rename(const std::string& from, const std::string& to) const;
  // Renames from (here) to to in directory, unless something already exists
  // there. On failure (FsOperation::move, EEXIST when taken) nothing moved.
  FsStatus moveWithoutReplacing(const std::string& from, const DirectoryHandle& directory,
                                const std::string& to) const;
  // Exchanges the two entries a and b of this directory atomically. On
  // failure (FsOperation::move) nothing moved.
  FsStatus exchange(const std::string& a, const std::string& b) const;

  // Commits everything written on this directory's file system (syncfs):
  // data, clones and names alike. Throws FsError.
  void syncFileSystem() const;
  // Commits this directory's own entries (fsync). Throws FsError.
  void sync() const;
  // Removes the entry name and everything below it, following no link. Throws
  // FsError.
  void removeTree(const std::string& name) const;
  // Removes the entry name when it is a file or an empty directory; false otherwise.
  bool removeEntry(const std::string& name) const;

 private:
  DirectoryHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_;  // -1 once moved from
  std::string path_;
};

}  // namespace redomark
