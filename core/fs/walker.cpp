#include "core/fs/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "core/fs/parallel_range.h"
#include "core/records/redomark_error.h"

namespace redomark {

namespace {

constexpr int64_t cancelCheckInterval = 512;
constexpr size_t listingBufferBytes = 64 * 1024;
// Sharing a directory's status calls ends with waiting for a helper to wake
// and finish, tens of microseconds when a core is free and up to a time slice
// when the machine is busy: more than a typical directory's calls take alone.
constexpr size_t parallelMinimumItems = 256;
constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// One item of a directory, examined while the directory was open.
struct Child {
  size_t nameOffset = 0;  // into Level::names
  size_t nameLength = 0;
  int error = 0;  // errno of the failed status call, else 0
  EntryKind kind = EntryKind::other;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int32_t dev = 0;
  uint64_t inode = 0;
  bool mountRoot = false;
};

// One directory on the way from the root to the current item. Its vectors
// are kept from one sibling to the next, so a walk allocates only while it
// meets larger directories or deeper trees than before.
struct Level {
  int fd = -1;
  std::vector<Child> children;
  std::string names;
  size_t next = 0;
  size_t pathLength = 0;    // bytes of the path buffer up to and including this directory's "/"
};

EntryKind kindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return EntryKind::file;
    case S_IFDIR: return EntryKind::directory;
    case S_IFLNK: return EntryKind::symlink;
    default: return EntryKind::other;
  }
}

// Deep trees would run out of descriptors if every directory on the way down
// stayed open; beyond this depth a directory is closed once listed, and its
// subdirectories are opened relative to the deepest one still open.
size_t openLevelBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  return static_cast<size_t>(std::clamp<rlim_t>(limit.rlim_cur / 8, 4, 128));
}

// Status calls scale with cores until the file system's locks bind.
size_t statusHelpers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? std::min<size_t>(cores - 1, 3) : 0;
}

RedomarkError readError(const std::string& path, int error) {
  return RedomarkError::io("Couldn't read " + path + ": " + std::strerror(error));
}

class Walker {
 public:
  Walker(const DirectoryHandle& root, const OperationControl* control, const WalkVisitor& visit)
      : root_(root.path()), rootFd_(root.fd()), control_(control), visit_(visit), openBudget_(openLevelBudget()) {
    path_ = root_;
    if (path_.empty() || path_.back() != '/') path_ += '/';
    prefix_ = path_.size();
  }

  ~Walker() {
    for (Level& level : levels_)
      if (level.fd >= 0) close(level.fd);
  }

  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  void run() {
    // A description of its own, so that listing it moves no offset the
    // caller's descriptor shares.
    const int rootFd = openat(rootFd_, ".", directoryOpenFlags);
    if (rootFd < 0) throw readError(root_, errno);
    enter(rootFd, prefix_);
    while (depth_ > 0) step();
  }

 private:
  Level& top() { return levels_[depth_ - 1]; }

  void enter(int fd, size_t pathLength) {
    if (levels_.size() == depth_) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.fd = fd;
    level.children.clear();
    level.names.clear();
    level.next = 0;
    level.pathLength = pathLength;
    list(level);
    if (depth_ > openBudget_) closeLevel(level);
  }

  void closeLevel(Level& level) {
    if (level.fd >= 0) close(level.fd);
    level.fd = -1;
  }

  std::string directoryPath(const Level& level) const {
    return level.pathLength == prefix_ ? root_ : path_.substr(0, level.pathLength - 1);
  }

  void list(Level& level) {
    if (buffer_.empty()) buffer_.resize(listingBufferBytes);
    for (;;) {
      const ssize_t got = getdents64(level.fd, buffer_.data(), buffer_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        throw readError(directoryPath(level), errno);
      }
      if (got == 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* d = reinterpret_cast<const dirent64*>(buffer_.data() + at);
        at += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        addChild(level, name);
      }
    }
    examineChildren(level);
  }

  void addChild(Level& level, const char* name) {
    Child& child = level.children.emplace_back();
    child.nameOffset = level.names.size();
    child.nameLength = std::strlen(name);
    // Each name is followed by its terminator, for the status call.
    level.names.append(name, child.nameLength + 1);
  }

  // The status calls are nearly all of a walk's time, and independent of
  // one another, so a large directory's are shared among a few threads.
  void examineChildren(Level& level) {
    const std::function<void(size_t)> examine = [&level](size_t i) { examineChild(level, level.children[i]); };
    if (level.children.size() >= parallelMinimumItems)
      pool_.run(level.children.size(), examine);
    else
      for (size_t i = 0; i < level.children.size(); ++i) examine(i);
  }

  // statx rather than fstatat: the same one call, and it also tells a mount
  // point whose device is the folder's own (a bind mount of the same volume).
  static void examineChild(const Level& level, Child& child) {
    struct statx facts;
    if (statx(level.fd, level.names.data() + child.nameOffset, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME, &facts) != 0) {
      child.error = errno;
      return;
    }
    child.kind = kindOf(facts.stx_mode);
    child.size = child.kind == EntryKind::file ? static_cast<int64_t>(facts.stx_size) : 0;
    child.mtimeNs = facts.stx_mtime.tv_sec * 1'000'000'000 + facts.stx_mtime.tv_nsec;
    child.dev = static_cast<int32_t>(makedev(facts.stx_dev_major, facts.stx_dev_minor));
    child.inode = facts.stx_ino;
    child.mountRoot = (facts.stx_attributes & facts.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  }

  // Delivers the next item of the current directory, or leaves the directory.
  void step() {
    Level& level = top();
    if (level.next == level.children.size()) {
      closeLevel(level);
      --depth_;
      return;
    }
    const Child& child = level.children[level.next++];
    const char* name = level.names.data() + child.nameOffset;
    path_.resize(level.pathLength);
    path_.append(name, child.nameLength);
    if (child.error != 0) throw readError(path_, child.error);

    ++delivered_;
    if (control_ && delivered_ % cancelCheckInterval == 0 && control_->isCancelled())
      throw RedomarkError::cancelled();

    // The exact bytes: two names are one item only when their bytes are equal.
    entry_.path.assign(std::string_view(path_).substr(prefix_));
    entry_.kind = child.kind;
    entry_.size = child.size;
    entry_.mtimeNs = child.mtimeNs;
    entry_.dev = child.dev;
    entry_.inode = child.inode;
    entry_.mountRoot = child.mountRoot;
    visit_(entry_);

    if (child.kind == EntryKind::directory) descend(level);
  }

  void descend(const Level& parent) {
    const int fd = parent.fd >= 0 ? openat(parent.fd, path_.c_str() + parent.pathLength, directoryOpenFlags)
                                  : openFromAnchor();
    // Its status said directory: it was replaced (by a link, say) since.
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) throw RedomarkError::pathChanged(path_);
    if (fd < 0) throw readError(path_, errno);
    path_ += '/';
    enter(fd, path_.size());
  }

  // Opens the current path relative to the deepest directory still open,
  // following no link on the way; the root itself is always open.
  int openFromAnchor() {
    size_t i = depth_;
    while (levels_[--i].fd < 0) {
    }
    const Level& anchor = levels_[i];
    return openDirectoryBelow(anchor.fd, std::string_view(path_).substr(anchor.pathLength));
  }

  const std::string& root_;
  const int rootFd_;
  const OperationControl* control_;
  const WalkVisitor& visit_;
  const size_t openBudget_;
  ParallelRange pool_{statusHelpers()};
  std::string path_;  // root, "/", then the current item's relative path
  size_t prefix_ = 0;
  std::vector<Level> levels_;
  size_t depth_ = 0;
  std::vector<char> buffer_;
  WalkEntry entry_;
  int64_t delivered_ = 0;
};

}  // namespace

void walk(const DirectoryHandle& root, const OperationControl* control, const WalkVisitor& visit) {
  Walker(root, control, visit).run();
}

void walk(const std::string& root, const OperationControl* control, const WalkVisitor& visit) {
  const std::optional<DirectoryHandle> directory = DirectoryHandle::open(root);
  if (!directory) {
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == EPERM || errno == ELOOP) return;
    throw readError(root, errno);
  }
  walk(*directory, control, visit);
}

}  // namespace redomark
