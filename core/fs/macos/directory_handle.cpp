#include "core/fs/directory_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"
#include "core/fs/typed_path.h"

namespace redomark {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
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

// One component at a time, each checked not to be a link (and, within one
// mount, not another volume) before it is opened without following one, so
// that no path is ever handed to the kernel whole: any length works, and
// O_NOFOLLOW_ANY guards each open against a link swapped in after the check.
int openWithoutLinks(int startFd, std::string_view path, int flags, bool sameMount) {
  int at = path.starts_with('/') ? open("/", directoryFlags) : fcntl(startFd, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  while (at >= 0) {
    while (start < path.size() && path[start] == '/') ++start;
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const bool last = path.find_first_not_of('/', end) == std::string_view::npos;
    if (start == end) {  // "/" alone, or a trailing "/"
      if (flags == directoryFlags) return at;
      const int reopened = openat(at, ".", flags | O_NOFOLLOW_ANY);
      close(at);
      return reopened;
    }
    const std::string name(path.substr(start, end - start));
    struct stat here {};
    struct stat facts {};
    const bool known = fstat(at, &here) == 0 && fstatat(at, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0;
    int next = -1;
    if (name == "..") {
      errno = EXDEV;
    } else if (known && S_ISLNK(facts.st_mode)) {
      errno = ELOOP;
    } else if (known && sameMount && facts.st_dev != here.st_dev) {
      errno = EXDEV;
    } else {
      next = openat(at, name.c_str(), (last ? flags : directoryFlags) | O_NOFOLLOW_ANY);
    }
    const int saved = errno;
    close(at);
    errno = saved;
    if (last) return next;
    at = next;
    start = end;
  }
  return -1;
}

// APFS's fsync leaves the data in the drive's cache; F_FULLFSYNC asks the
// drive to write it out. Where the file system refuses it, fsync is all there is.
int fullSync(int fd) {
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
  return fsync(fd);
}

}  // namespace

// Without O_PATH, a descriptor opened for event notification only reads and
// writes nothing; O_NONBLOCK keeps a FIFO from waiting for a writer. A link at
// the last component is refused (ELOOP) rather than opened.
int openToExamine(const std::string& absolutePath) {
  if (!absolutePath.starts_with('/')) {
    errno = EINVAL;
    return -1;
  }
  return openWithoutLinks(AT_FDCWD, absolutePath, O_EVTONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, false);
}

// Without O_PATH, what is at a path is examined in its parent, which is
// reached without a link.
FsResult<ItemStatus> examine(const std::string& absolutePath) {
  const auto failed = [&](int error) { return FsError(error, FsOperation::examine, absolutePath); };
  if (!absolutePath.starts_with('/')) return failed(EINVAL);
  if (absolutePath == "/") {
    const std::optional<ItemStatus> root = itemStatusAt(AT_FDCWD, "/");
    if (!root) return failed(errno);
    return *root;
  }
  const FsResult<DirectoryHandle> parent = DirectoryHandle::open(parentPath(absolutePath));
  if (!parent) return failed(parent.code());
  const FsResult<ItemStatus> facts = parent->status(lastComponent(absolutePath));
  if (!facts) return failed(facts.code());
  return *facts;
}

int openDirectoryBelow(int directoryFd, std::string_view relativePath) {
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
  const int fd = openDirectoryBelow(fd_, relativePath);
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
  while (!bytes.empty()) {
    const ssize_t n = write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(FsOperation::write, joinPath(path_, name));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
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
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(FsOperation::write, joinPath(path_, temporary));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  // The data must be on disk before the rename makes it the file's content.
  if (fullSync(fd) != 0) fail(FsOperation::write, joinPath(path_, temporary));
  if (renameat(fd_, temporary.c_str(), fd_, name.c_str()) != 0) fail(FsOperation::write, joinPath(path_, name));
  placed = true;
  if (fullSync(fd_) != 0) fail(FsOperation::write, joinPath(path_, name));
}

void DirectoryHandle::rename(const std::string& from, const std::string& to) const {
  if (renameat(fd_, from.c_str(), fd_, to.c_str()) != 0) fail(FsOperation::move, joinPath(path_, from));
}

FsStatus DirectoryHandle::moveWithoutReplacing(const std::string& from, const DirectoryHandle& directory,
                                               const std::string& to) const {
  const auto failed = [&](int error) { return FsError(error, FsOperation::move, joinPath(path_, from)); };
  if (renameatx_np(fd_, from.c_str(), directory.fd_, to.c_str(), RENAME_EXCL) == 0) return {};
  if (errno != ENOTSUP && errno != EINVAL) return failed(errno);
  // A file system without the flag (some network ones): check, then rename.
  // The gap between the two only matters against a concurrent writer.
  if (directory.status(to)) return failed(EEXIST);
  if (renameat(fd_, from.c_str(), directory.fd_, to.c_str()) != 0) return failed(errno);
  return {};
}

FsStatus DirectoryHandle::exchange(const std::string& a, const std::string& b) const {
  if (renameatx_np(fd_, a.c_str(), fd_, b.c_str(), RENAME_SWAP) == 0) return {};
  return FsError(errno, FsOperation::move, joinPath(path_, a));
}

// macOS has no syncfs: the volume is found from the open directory (its
// mount point as the kernel reports it) and committed whole, waiting for the
// drive; then this directory itself with F_FULLFSYNC.
void DirectoryHandle::syncFileSystem() const {
  struct statfs disk {};
  if (fstatfs(fd_, &disk) != 0) fail(FsOperation::write, path_);
  if (const int code = sync_volume_np(disk.f_mntonname, SYNC_VOLUME_FULLSYNC | SYNC_VOLUME_WAIT); code != 0)
    fail(FsOperation::write, path_, code);
  if (fullSync(fd_) != 0) fail(FsOperation::write, path_);
}

void DirectoryHandle::sync() const {
  if (fullSync(fd_) != 0) fail(FsOperation::write, path_);
}

void DirectoryHandle::removeTree(const std::string& name) const {
  removeTreeAt(fd_, name, joinPath(path_, name));
}

bool DirectoryHandle::removeEntry(const std::string& name) const {
  return unlinkat(fd_, name.c_str(), 0) == 0 || unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace redomark
