#include "core/fs/directory_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "core/fs/directory_calls.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"

namespace redomark {

namespace {

constexpr size_t readBlockBytes = 64 * 1024;

[[noreturn]] void fail(FsOperation operation, const std::string& path, int code = errno) {
  throw FsError(code, operation, path);
}

// 0, or the errno of the failed read.
int readAll(int fd, const std::function<void(std::string_view)>& piece) {
  std::vector<char> buffer(readBlockBytes);
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    piece(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

}  // namespace

int openDirectoryBelow(int directoryFd, std::string_view relativePath) {
  // A kernel's own no-links resolution lets ".." stay beneath; refused here
  // so that every kernel lands in the same place.
  if (hasParentComponent(relativePath)) {
    errno = EXDEV;
    return -1;
  }
  return openWithoutLinks(directoryFd, relativePath, directoryFlags, true);
}

FsResult<DirectoryHandle> DirectoryHandle::open(const std::string& absolutePath) {
  if (!absolutePath.starts_with('/')) return FsError(EINVAL, FsOperation::open, absolutePath);
  const int fd = openWithoutLinks(AT_FDCWD, absolutePath, directoryFlags, false);
  if (fd < 0) return FsError(errno, FsOperation::open, absolutePath);
  return DirectoryHandle(fd, absolutePath);
}

DirectoryHandle DirectoryHandle::create(const std::string& absolutePath, mode_t mode) {
  FsResult<DirectoryHandle> existing = open(absolutePath);
  if (existing) return std::move(*existing);
  if (existing.code() != ENOENT) throw existing.error();
  const std::string parentName = parentPath(absolutePath);
  if (parentName == absolutePath) fail(FsOperation::open, absolutePath);
  const DirectoryHandle parent = create(parentName, mode);
  const std::string name = lastComponent(absolutePath);
  if (mkdirat(parent.fd(), name.c_str(), mode) != 0 && errno != EEXIST) fail(FsOperation::create, absolutePath);
  FsResult<DirectoryHandle> made = parent.child(name);
  if (!made) fail(FsOperation::create, absolutePath, made.code());
  return std::move(*made);
}

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

DirectoryHandle::~DirectoryHandle() {
  if (fd_ >= 0) close(fd_);
}

ItemStatus DirectoryHandle::ownStatus() const {
  std::optional<ItemStatus> facts = itemStatusAt(fd_, "");
  if (!facts) fail(FsOperation::read, path_);
  return *facts;
}

DirectoryHandle DirectoryHandle::reopen() const {
  const int fd = openat(fd_, ".", directoryFlags);
  if (fd < 0) fail(FsOperation::open, path_);
  return DirectoryHandle(fd, path_);
}

FsResult<DirectoryHandle> DirectoryHandle::child(const std::string& name) const {
  const int fd = openat(fd_, name.c_str(), directoryFlags);
  if (fd < 0) return FsError(errno, FsOperation::open, joinPath(path_, name));
  return DirectoryHandle(fd, joinPath(path_, name));
}

FsResult<DirectoryHandle> DirectoryHandle::descend(std::string_view relativePath) const {
  const int fd = relativePath.empty() ? openat(fd_, ".", directoryFlags) : openDirectoryBelow(fd_, relativePath);
  if (fd < 0) return FsError(errno, FsOperation::open, joinPath(path_, std::string(relativePath)));
  return DirectoryHandle(fd, joinPath(path_, std::string(relativePath)));
}

FsResult<ItemStatus> DirectoryHandle::status(const std::string& name) const {
  if (std::optional<ItemStatus> facts = itemStatusAt(fd_, name.c_str())) return *facts;
  return FsError(errno, FsOperation::examine, name.empty() ? path_ : joinPath(path_, name));
}

FsResult<std::vector<std::string>> DirectoryHandle::names() const {
  // fdopendir takes the descriptor it is given; a duplicate keeps ours open.
  const int copy = dup(fd_);
  if (copy < 0) return FsError(errno, FsOperation::list, path_);
  DIR* dir = fdopendir(copy);
  if (!dir) {
    const int error = errno;
    close(copy);
    return FsError(error, FsOperation::list, path_);
  }
  rewinddir(dir);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    names.emplace_back(n);
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) return FsError(error, FsOperation::list, path_);
  return names;
}

FsResult<std::string> DirectoryHandle::readFile(const std::string& name) const {
  std::string bytes;
  const FsStatus read = readFile(name, [&](std::string_view piece) { bytes.append(piece); });
  if (!read) return read.error();
  return bytes;
}

FsStatus DirectoryHandle::readFile(const std::string& name, const std::function<void(std::string_view)>& piece) const {
  const FileDescriptor fd(openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  const int error = fd.get() < 0 ? errno : readAll(fd.get(), piece);
  if (error != 0) return FsError(error, FsOperation::read, joinPath(path_, name));
  return {};
}

FsStatus DirectoryHandle::makeDirectoryIfMissing(const std::string& name, mode_t mode) const {
  if (mkdirat(fd_, name.c_str(), mode) == 0 || errno == EEXIST) return {};
  return FsError(errno, FsOperation::create, joinPath(path_, name));
}

bool DirectoryHandle::isPrivate() const {
  const std::optional<ItemStatus> facts = itemStatusAt(fd_, "");
  return facts && facts->owner == geteuid() && (facts->mode & 077) == 0;
}

DirectoryHandle DirectoryHandle::makePrivateDirectory(const std::string& name) const {
  if (mkdirat(fd_, name.c_str(), 0700) != 0) fail(FsOperation::create, joinPath(path_, name));
  return child(name).value();
}

int DirectoryHandle::createFile(const std::string& name, mode_t mode) const {
  const int fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) fail(FsOperation::write, joinPath(path_, name));
  return fd;
}

void DirectoryHandle::writeNewFile(const std::string& name, std::string_view bytes, mode_t mode) const {
  const FileDescriptor fd(createFile(name, mode));
  if (const int error = writeAll(fd.get(), bytes)) fail(FsOperation::write, joinPath(path_, name), error);
}

void DirectoryHandle::replaceFile(const std::string& name, std::string_view bytes, mode_t mode) const {
  std::random_device random;
  std::string temporary;
  int fd = -1;
  // A name of its own, so that two writers never share one temporary file.
  for (int attempt = 0; fd < 0; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    temporary = "." + name + suffix;
    fd = openat(fd_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0 && (errno != EEXIST || attempt == 16)) fail(FsOperation::write, joinPath(path_, temporary));
  }
  const FileDescriptor file(fd);
  bool placed = false;
  struct RemoveUnlessPlaced {
    const DirectoryHandle& directory;
    const std::string& temporary;
    const bool& placed;
    ~RemoveUnlessPlaced() {
      if (!placed) unlinkat(directory.fd(), temporary.c_str(), 0);
    }
  } guard{*this, temporary, placed};
  // The umask must not decide who may read the file.
  if (fchmod(fd, mode) != 0) fail(FsOperation::write, joinPath(path_, temporary));
  if (const int error = writeAll(fd, bytes)) fail(FsOperation::write, joinPath(path_, temporary), error);
  // The data must be on disk before the rename makes it the file's content.
  if (commitFile(fd) != 0) fail(FsOperation::write, joinPath(path_, temporary));
  if (renameat(fd_, temporary.c_str(), fd_, name.c_str()) != 0) fail(FsOperation::write, joinPath(path_, name));
  placed = true;
  if (commitFile(fd_) != 0) fail(FsOperation::write, joinPath(path_, name));
}

void DirectoryHandle::rename(const std::string& from, const std::string& to) const {
  if (renameat(fd_, from.c_str(), fd_, to.c_str()) != 0) fail(FsOperation::move, joinPath(path_, from));
}

FsStatus DirectoryHandle::moveWithoutReplacing(const std::string& from, const DirectoryHandle& directory,
                                               const std::string& to) const {
  const auto failed = [&](int error) { return FsError(error, FsOperation::move, joinPath(path_, from)); };
  if (renameWithoutReplacing(fd_, from.c_str(), directory.fd_, to.c_str()) == 0) return {};
  if (errno != ENOTSUP) return failed(errno);
  // A file system without the flag (some network and FUSE ones): check, then
  // rename. The gap between the two only matters against a concurrent writer.
  if (directory.status(to)) return failed(EEXIST);
  if (renameat(fd_, from.c_str(), directory.fd_, to.c_str()) != 0) return failed(errno);
  return {};
}

FsStatus DirectoryHandle::exchange(const std::string& a, const std::string& b) const {
  if (exchangeEntries(fd_, a.c_str(), b.c_str()) == 0) return {};
  return FsError(errno, FsOperation::move, joinPath(path_, a));
}

void DirectoryHandle::syncFileSystem() const {
  if (commitFileSystem(fd_) != 0) fail(FsOperation::write, path_);
}

void DirectoryHandle::sync() const {
  if (commitFile(fd_) != 0) fail(FsOperation::write, path_);
}

void DirectoryHandle::removeTree(const std::string& name) const {
  removeTreeAt(fd_, name, joinPath(path_, name));
}

bool DirectoryHandle::removeEntry(const std::string& name) const {
  return unlinkat(fd_, name.c_str(), 0) == 0 || unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace redomark
