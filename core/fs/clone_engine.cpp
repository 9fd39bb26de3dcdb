#include "core/fs/clone_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/fs/attribute_copier.h"
#include "core/fs/file_data_copy.h"
#include "core/fs/file_ops.h"
#include "core/fs/subvolume.h"
#include "core/records/redomark_error.h"

namespace redomark {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: should a FIFO take the place of a file after its status call,
// opening it must not wait for a writer.
constexpr int sourceFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int destinationFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// New directories stay private to us until their own permissions are put on
// last. A file is made with its own permission bits (less any set-id bit), as
// what it holds is no more private than that once it is finished, and the
// directory around it is still ours alone.
constexpr mode_t workingMode = 0700;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Removes the copy made so far unless the copy commits.
class DestinationGuard {
 public:
  DestinationGuard(int parentFd, std::string name, std::string path)
      : parentFd_(parentFd), name_(std::move(name)), path_(std::move(path)) {}
  DestinationGuard(const DestinationGuard&) = delete;
  DestinationGuard& operator=(const DestinationGuard&) = delete;
  ~DestinationGuard() {
    if (committed_) return;
    try {
      removeTreeAt(parentFd_, name_, path_);
    } catch (const std::exception&) {
      // What cannot be removed stays; the error that stopped the copy matters more.
    }
  }
  void commit() { committed_ = true; }

 private:
  int parentFd_;
  std::string name_;
  std::string path_;
  bool committed_ = false;
};

// Deep trees would run out of descriptors if every directory on the way down
// kept its two open; below this depth a directory's pair is closed while its
// subdirectories are copied, and found again through their "..".
size_t openLevelBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  return static_cast<size_t>(std::clamp<rlim_t>(limit.rlim_cur / 8, 4, 128));
}

class TreeCopier {
 public:
  TreeCopier(CloneContext& context, std::string sourceRoot)
      : context_(context), path_(std::move(sourceRoot)), openBudget_(openLevelBudget()) {}

  void copyRoot(Descriptor& source, const struct stat& st, Descriptor& destination);
  // A root that is a file or a link is copied under the destination's name.
  void copySingle(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                  const struct stat& st);
  [[noreturn]] void fail(int code) const;
  // For an entry that is no longer of the kind its status said: it was
  // replaced (by a link, say) while the copy ran.
  [[noreturn]] void replaced() const;
  // Ownership, attributes, permission bits and times, in the order in which
  // none undoes another: chown clears set-id bits and file capabilities. With
  // the status the destination has now, ownership and permission bits that are
  // already right are left alone, which saves a file system transaction each.
  void finish(int sourceFd, int destinationFd, const struct stat& st, const struct stat* current = nullptr);
  void stopIfCancelled() const {
    if (context_.control && context_.control->isCancelled()) throw RedomarkError::cancelled();
  }

 private:
  // Lists the whole directory first, so that no listing stays open below it.
  void listNames(int sourceDir, size_t depth);
  void copyContents(Descriptor& sourceDir, Descriptor& destinationDir, size_t depth);
  void copyItem(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, size_t depth);
  void copyDirectory(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, const struct stat& st,
                     size_t depth);
  void copyFile(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                const struct stat& st);
  void copyLink(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                const struct stat& st);
  void fileFinished(bool cloned);

  CloneContext& context_;
  std::string path_;  // source path of the item being copied
  std::vector<char> buffer_;
  AttributeCopier attributes_;
  // Names of the directory being copied at each depth, NUL-terminated one
  // after another; a deque, so going deeper never moves a shallower one.
  std::deque<std::string> listings_;
  const size_t openBudget_;
};

void TreeCopier::fail(int code) const {
  stopIfCancelled();
  throw RedomarkError::copyFailed(path_, code);
}

void TreeCopier::replaced() const {
  stopIfCancelled();
  throw RedomarkError::pathChanged(path_);
}

void TreeCopier::copyRoot(Descriptor& source, const struct stat& st, Descriptor& destination) {
  copyContents(source, destination, 0);
  finish(source.get(), destination.get(), st);
}

void TreeCopier::copySingle(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                            const struct stat& st) {
  if (S_ISREG(st.st_mode)) return copyFile(sourceDir, sourceName, destinationDir, destinationName, st);
  if (S_ISLNK(st.st_mode)) return copyLink(sourceDir, sourceName, destinationDir, destinationName, st);
  fail(ENOTSUP);
}

void TreeCopier::listNames(int sourceDir, size_t depth) {
  // fdopendir takes the descriptor it is given; the caller keeps its own.
  const int listingFd = dup(sourceDir);
  if (listingFd < 0) fail(errno);
  DIR* dir = fdopendir(listingFd);
  if (!dir) {
    close(listingFd);
    fail(errno);
  }
  struct Closer {
    DIR* dir;
    ~Closer() { closedir(dir); }
  } closer{dir};
  if (listings_.size() <= depth) listings_.resize(depth + 1);
  std::string& names = listings_[depth];
  names.clear();
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (!e) {
      if (errno != 0) fail(errno);
      return;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.append(e->d_name, std::strlen(e->d_name) + 1);
  }
}

void TreeCopier::copyContents(Descriptor& sourceDir, Descriptor& destinationDir, size_t depth) {
  listNames(sourceDir.get(), depth);
  const std::string& names = listings_[depth];
  const size_t parentLength = path_.size();
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    const size_t length = std::strlen(name);
    path_.append("/").append(name, length);
    copyItem(sourceDir, destinationDir, name, depth);
    path_.resize(parentLength);
    at += length + 1;
  }
}

void TreeCopier::copyItem(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, size_t depth) {
  stopIfCancelled();
  struct stat st;
  if (fstatat(sourceDir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail(errno);
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: return copyFile(sourceDir.get(), name, destinationDir.get(), name, st);
    case S_IFDIR: return copyDirectory(sourceDir, destinationDir, name, st, depth);
    case S_IFLNK: return copyLink(sourceDir.get(), name, destinationDir.get(), name, st);
    default: fail(ENOTSUP);  // FIFOs, sockets and devices have no place in a copy
  }
}

void TreeCopier::copyDirectory(Descriptor& sourceDir, Descriptor& destinationDir, const char* name,
                               const struct stat& st, size_t depth) {
  Descriptor source(openat(sourceDir.get(), name, directoryFlags));
  if (source.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) replaced();
  if (source.get() < 0) fail(errno);
  if (mkdirat(destinationDir.get(), name, workingMode) != 0) fail(errno);
  Descriptor destination(openat(destinationDir.get(), name, directoryFlags));
  if (destination.get() < 0) fail(errno);
  const bool releaseParent = depth >= openBudget_;
  if (releaseParent) {
    sourceDir.reset();
    destinationDir.reset();
  }
  copyContents(source, destination, depth + 1);
  // After the contents, whose creation would otherwise move its times.
  finish(source.get(), destination.get(), st);
  if (releaseParent) {
    sourceDir.reset(openat(source.get(), "..", directoryFlags));
    if (sourceDir.get() < 0) fail(errno);
    destinationDir.reset(openat(destination.get(), "..", directoryFlags));
    if (destinationDir.get() < 0) fail(errno);
  }
}

void TreeCopier::copyFile(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                          const struct stat& st) {
  const Descriptor source(openat(sourceDir, sourceName, sourceFileFlags));
  if (source.get() < 0 && errno == ELOOP) replaced();
  if (source.get() < 0) fail(errno);
  const Descriptor destination(openat(destinationDir, destinationName, destinationFileFlags, st.st_mode & 0777));
  if (destination.get() < 0) fail(errno);
  const DataCopyResult data = cloneOrCopyData(source.get(), destination.get(), buffer_);
  if (data.error != 0) fail(data.error);
  struct stat current;
  if (fstat(destination.get(), &current) != 0) fail(errno);
  finish(source.get(), destination.get(), st, &current);
  fileFinished(data.cloned);
}

void TreeCopier::copyLink(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                          const struct stat& st) {
  // A link's size is its target's length, unless the file system reports 0.
  buffer_.resize(std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 256));
  for (;;) {
    const ssize_t n = readlinkat(sourceDir, sourceName, buffer_.data(), buffer_.size());
    if (n < 0 && errno == EINVAL) replaced();
    if (n < 0) fail(errno);
    if (static_cast<size_t>(n) < buffer_.size()) {
      buffer_[static_cast<size_t>(n)] = '\0';
      break;
    }
    buffer_.resize(buffer_.size() * 2);
  }
  if (symlinkat(buffer_.data(), destinationDir, destinationName) != 0) fail(errno);
  if (fchownat(destinationDir, destinationName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 && errno != EPERM) fail(errno);
  // The l*xattr calls take only paths; these go through the open directories.
  const std::string sourcePath = "/proc/self/fd/" + std::to_string(sourceDir) + "/" + sourceName;
  const std::string destinationPath = "/proc/self/fd/" + std::to_string(destinationDir) + "/" + destinationName;
  if (const int error = attributes_.copyLinks(sourcePath, destinationPath)) fail(error);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (utimensat(destinationDir, destinationName, times, AT_SYMLINK_NOFOLLOW) != 0) fail(errno);
}

void TreeCopier::finish(int sourceFd, int destinationFd, const struct stat& st, const struct stat* current) {
  bool owned = current && current->st_uid == st.st_uid && current->st_gid == st.st_gid;
  if (!owned) {
    if (fchown(destinationFd, st.st_uid, st.st_gid) == 0) owned = true;
    else if (errno != EPERM) fail(errno);
  }
  if (const int error = attributes_.copy(sourceFd, destinationFd)) fail(error);
  // A copy that could not keep its owner must not run as whoever made it.
  const mode_t mode = st.st_mode & (owned ? 07777 : 01777);
  // Neither chown (the file was made without set-id bits) nor an access ACL
  // just copied (it holds the source's own bits) moves what was read here.
  const bool permitted = current && (current->st_mode & 07777) == mode;
  if (!permitted && fchmod(destinationFd, mode) != 0) fail(errno);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (futimens(destinationFd, times) != 0) fail(errno);
}

void TreeCopier::fileFinished(bool cloned) {
  ++context_.files;
  if (cloned) ++context_.cloned;
  if (context_.control)
    context_.control->report({OperationProgress::Phase::copying, context_.files, context_.total});
}

}  // namespace

namespace {

CloneContext cloneDirectoryInto(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                                const std::string& destinationName, std::optional<int64_t> total,
                                OperationControl* control, bool asSubvolume) {
  CloneContext context;
  context.total = total;
  context.control = control;
  TreeCopier copier(context, source.path());
  copier.stopIfCancelled();
  // A description of its own, so that listing it moves no offset the
  // caller's descriptor shares.
  Descriptor sourceFd(openat(source.fd(), ".", directoryFlags));
  if (sourceFd.get() < 0) copier.fail(errno);
  struct stat st;
  if (fstat(sourceFd.get(), &st) != 0) copier.fail(errno);
  if (asSubvolume) {
    if (const int code = createSubvolume(destinationParent.fd(), destinationName); code != 0) copier.fail(code);
  } else if (mkdirat(destinationParent.fd(), destinationName.c_str(), workingMode) != 0) {
    copier.fail(errno);
  }

  DestinationGuard guard(destinationParent.fd(), destinationName, joinPath(destinationParent.path(), destinationName));
  Descriptor destinationFd(openat(destinationParent.fd(), destinationName.c_str(), directoryFlags));
  if (destinationFd.get() < 0) copier.fail(errno);
  // A new subvolume is open to everyone until its copy is finished.
  if (asSubvolume && fchmod(destinationFd.get(), workingMode) != 0) copier.fail(errno);
  copier.copyRoot(sourceFd, st, destinationFd);
  guard.commit();
  return context;
}

}  // namespace

CloneContext cloneDirectory(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                            const std::string& destinationName, std::optional<int64_t> total,
                            OperationControl* control) {
  return cloneDirectoryInto(source, destinationParent, destinationName, total, control, false);
}

CloneContext cloneDirectoryAsSubvolume(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                                       const std::string& destinationName, std::optional<int64_t> total,
                                       OperationControl* control) {
  return cloneDirectoryInto(source, destinationParent, destinationName, total, control, true);
}

void copyDirectoryAttributes(const DirectoryHandle& source, const DirectoryHandle& destination) {
  CloneContext context;
  TreeCopier copier(context, source.path());
  struct stat st;
  if (fstat(source.fd(), &st) != 0) copier.fail(errno);
  copier.finish(source.fd(), destination.fd(), st);
}

CloneContext cloneEntry(const DirectoryHandle& sourceParent, const std::string& name,
                        const DirectoryHandle& destinationParent, const std::string& destinationName,
                        std::optional<int64_t> total, OperationControl* control) {
  CloneContext context;
  context.total = total;
  context.control = control;
  TreeCopier copier(context, joinPath(sourceParent.path(), name));
  copier.stopIfCancelled();
  struct stat st;
  if (fstatat(sourceParent.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) copier.fail(errno);
  if (S_ISDIR(st.st_mode)) {
    std::optional<DirectoryHandle> source = sourceParent.child(name);
    if (!source && (errno == ELOOP || errno == ENOTDIR)) copier.replaced();
    if (!source) copier.fail(errno);
    return cloneDirectory(*source, destinationParent, destinationName, total, control);
  }
  DestinationGuard guard(destinationParent.fd(), destinationName, joinPath(destinationParent.path(), destinationName));
  copier.copySingle(sourceParent.fd(), name.c_str(), destinationParent.fd(), destinationName.c_str(), st);
  guard.commit();
  return context;
}

}  // namespace redomark
