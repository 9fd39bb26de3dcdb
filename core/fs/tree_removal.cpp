#include "core/fs/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/fs/fs_error.h"
#include "core/fs/subvolume.h"

namespace redomark {

namespace {

// A subvolume (a snapshot checkpoint's saved tree, say) goes in one call where
// the process may; otherwise, read-only as a snapshot is, it must become
// writable before its entries can go, and it is then removed like a directory.
// True when it is gone.
bool removedAsSubvolume(int parentFd, const char* name, int fd) {
  if (!isSubvolume(fd)) return false;
  if (destroySubvolume(parentFd, name) == 0) return true;
  makeSubvolumeWritable(fd);
  return false;
}

// Directories whose descriptors stay open at once while a tree is removed;
// one closed above them is found again through ".." of its subdirectory.
constexpr size_t openRemovalLevels = 64;

// One directory on the way down a tree being removed.
struct RemovalLevel {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;                    // in its parent
  std::vector<std::string> subdirectories;  // still to remove
};

// Removes every entry but subdirectories from the open directory fd, whose
// subdirectory names go to subdirectories.
void removeEntriesOf(int fd, const std::string& path, std::vector<std::string>& subdirectories) {
  const int listing = dup(fd);
  DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
  if (!dir) {
    if (listing >= 0) close(listing);
    throwErrno(FsOperation::list, path);
  }
  struct Closer {
    DIR* dir;
    ~Closer() { closedir(dir); }
  } closer{dir};
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    if (unlinkat(fd, name, 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) throwErrno(FsOperation::remove, path + "/" + name);
    subdirectories.emplace_back(name);
  }
}

// Removes the open directory fd's contents, named name in its parent, without
// recursion and with at most openRemovalLevels descriptors open however deep
// it goes; closes fd. path names it in errors.
void removeContents(int fd, const std::string& path) {
  std::vector<RemovalLevel> levels;
  const auto enter = [&](int opened, std::string name) {
    struct stat facts {};
    if (fstat(opened, &facts) != 0) {
      close(opened);
      throwErrno(FsOperation::examine, path);
    }
    // A read-only directory cannot lose its entries until it is writable again.
    fchmod(opened, 0700);
    levels.push_back(RemovalLevel{opened, facts.st_dev, facts.st_ino, std::move(name), {}});
    if (levels.size() > openRemovalLevels) {
      RemovalLevel& far = levels[levels.size() - 1 - openRemovalLevels];
      close(far.fd);
      far.fd = -1;
    }
    removeEntriesOf(opened, path, levels.back().subdirectories);
  };
  struct Closer {
    std::vector<RemovalLevel>& levels;
    ~Closer() {
      for (RemovalLevel& level : levels)
        if (level.fd >= 0) close(level.fd);
    }
  } closer{levels};
  enter(fd, "");
  while (!levels.empty()) {
    RemovalLevel& level = levels.back();
    if (!level.subdirectories.empty()) {
      const std::string name = std::move(level.subdirectories.back());
      level.subdirectories.pop_back();
      const int child = openat(level.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        if (errno == ENOENT) continue;
        throwErrno(FsOperation::open, path);
      }
      if (removedAsSubvolume(level.fd, name.c_str(), child)) {
        close(child);
        continue;
      }
      enter(child, name);
      continue;
    }
    if (levels.size() == 1) break;
    RemovalLevel& parent = levels[levels.size() - 2];
    if (parent.fd < 0) {
      // The parent must still be the directory it was, not where a move led.
      parent.fd = openat(level.fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      struct stat facts {};
      if (parent.fd < 0 || fstat(parent.fd, &facts) != 0 || facts.st_dev != parent.dev || facts.st_ino != parent.ino)
        throw FsError(ESTALE, FsOperation::remove, path);
    }
    if (unlinkat(parent.fd, level.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      throwErrno(FsOperation::remove, path);
    close(level.fd);
    levels.pop_back();
  }
}

}  // namespace

void removeTreeAt(int dirFd, const std::string& name, const std::string& path) {
  if (unlinkat(dirFd, name.c_str(), 0) == 0) return;
  if (errno == ENOENT) throwErrno(FsOperation::remove, path);
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throwErrno(FsOperation::remove, path);
  if (removedAsSubvolume(dirFd, name.c_str(), fd)) {
    close(fd);
    return;
  }
  removeContents(fd, path);
  if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) throwErrno(FsOperation::remove, path);
}

}  // namespace redomark
