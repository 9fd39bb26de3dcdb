#include "core/fs/private_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/task_stack.h"
#include "core/fs/volume.h"

namespace redomark {

namespace {

constexpr size_t listingBufferBytes = 64 * 1024;

// Opens the directory at a path below rootFd without following a link on the
// way, and keeps its listing from writing an access time into the saved tree.
int openBelow(int rootFd, const std::string& relative) {
  const int fd = openDirectoryBelow(rootFd, relative);
  // Refused for another user's directory, which is then listed as it is.
  if (fd >= 0) fcntl(fd, F_SETFL, O_NOATIME);
  return fd;
}

// Threads to count with. One on XFS: it reads each file's sharing from its
// allocation group's reference-count tree under that group's lock, where a
// second thread only waits (measured twice as slow as one).
size_t countingThreads(int rootFd) {
  struct statfs disk {};
  if (fstatfs(rootFd, &disk) == 0 && disk.f_type == XFS_SUPER_MAGIC) return 1;
  return threadsPerCore();
}

unsigned typeOf(int directoryFd, const char* name, unsigned char listed) {
  if (listed != DT_UNKNOWN) return listed;
  struct stat facts;
  if (fstatat(directoryFd, name, &facts, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return IFTODT(facts.st_mode);
}

// Directories are counted in any order by several threads, but the figure is
// the one a single walk in listing order gives: each directory keeps its
// files' bytes between its subdirectories, and the sum is taken at the end
// in that order, stopping where that walk would stop.
class SpaceCounter {
 public:
  explicit SpaceCounter(int rootFd) : rootFd_(rootFd), tasks_(countingThreads(rootFd)), buffers_(tasks_.threads()) {
    nodes_.emplace_back();
    tasks_.push({".", 0});
  }

  SpaceBelow run() {
    // A descriptor table of its own spares each open and close the table
    // lock the other threads take; the root's descriptor is copied.
    tasks_.run([this](size_t worker, Task& task) { count(task, buffers_[worker]); },
               [](size_t) { unshare(CLONE_FILES); });
    return sumInWalkOrder();
  }

 private:
  // The bytes of a run of files, then the subdirectory that follows them
  // (none after a directory's last run).
  struct Run {
    int64_t bytes = 0;
    std::vector<FileSpace> linked;  // files with several names, counted once
    size_t subdirectory = none;
  };
  struct Directory {
    std::vector<Run> runs;
    ItemTally items;
    bool endsWalk = false;  // unreadable, or an entry in it had no status
  };
  struct Task {
    std::string path;  // below the root
    size_t node;
  };
  static constexpr size_t none = SIZE_MAX;

  void count(const Task& task, std::vector<char>& buffer) {
    buffer.resize(listingBufferBytes);
    std::vector<std::string> found;
    Directory listed;
    countDirectory(task.path, buffer, found, listed);
    // The subdirectories' nodes are numbered only now, under the lock.
    std::lock_guard<std::mutex> guard(lock_);
    const size_t first = nodes_.size();
    for (Run& run : listed.runs)
      if (run.subdirectory != none) run.subdirectory += first;
    nodes_.resize(first + found.size());
    for (size_t i = 0; i < found.size(); ++i) tasks_.push({std::move(found[i]), first + i});
    nodes_[task.node] = std::move(listed);
  }

  // Lists a directory into runs of file bytes between its subdirectories,
  // whose paths go to found in the same order.
  void countDirectory(const std::string& directory, std::vector<char>& buffer, std::vector<std::string>& found,
                      Directory& listed) const {
    listed.runs.emplace_back();
    const FileDescriptor fd(openBelow(rootFd_, directory));
    if (fd.get() < 0) {
      // A directory removed since its parent was listed holds nothing.
      if (errno != ENOENT) listed.endsWalk = true;
      return;
    }
    struct stat own;
    if (fstat(fd.get(), &own) == 0) listed.items.directoryBytes += static_cast<int64_t>(own.st_blocks) * 512;
    for (;;) {
      const ssize_t got = getdents64(fd.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) listed.endsWalk = true;
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* d = reinterpret_cast<const dirent64*>(buffer.data() + at);
        at += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        const unsigned type = typeOf(fd.get(), name, d->d_type);
        if (type == DT_UNKNOWN) {
          if (errno == ENOENT) continue;  // removed since it was listed
          listed.endsWalk = true;
          return;
        }
        ++listed.items.items;
        listed.items.nameBytes += static_cast<int64_t>(std::strlen(name));
        if (type == DT_DIR) {
          listed.runs.back().subdirectory = found.size();
          found.push_back(directory == "." ? std::string(name) : directory + "/" + name);
          listed.runs.emplace_back();
        }
        if (type != DT_REG) continue;
        const std::optional<FileSpace> space = fileSpaceAt(fd.get(), name);
        if (!space) continue;
        listed.items.extents += space->extents;
        listed.items.inlineExtents += space->inlineExtents;
        listed.items.inlineBytes += space->inlineBytes;
        if (space->linked) {
          listed.runs.back().linked.push_back(*space);
        } else {
          listed.runs.back().bytes += space->privateBytes;
        }
      }
    }
  }

  // The sum a single walk in listing order gives, stopping where it would
  // stop; a file with several names counts once, at its first name.
  SpaceBelow sumInWalkOrder() const {
    SpaceBelow sum;
    int64_t& total = sum.privateBytes;
    ItemTally& items = sum.items;
    std::unordered_set<uint64_t> linkedCounted;
    std::vector<std::pair<size_t, size_t>> path{{0, 0}};  // node, next run
    while (!path.empty()) {
      auto& [node, next] = path.back();
      const Directory& directory = nodes_[node];
      if (next == 0) {
        items.items += directory.items.items;
        items.nameBytes += directory.items.nameBytes;
        items.extents += directory.items.extents;
        items.inlineExtents += directory.items.inlineExtents;
        items.inlineBytes += directory.items.inlineBytes;
        items.directoryBytes += directory.items.directoryBytes;
      }
      if (next == directory.runs.size()) {
        if (directory.endsWalk) break;
        path.pop_back();
        continue;
      }
      const Run& run = directory.runs[next++];
      total += run.bytes;
      for (const FileSpace& file : run.linked)
        if (linkedCounted.insert(file.inode).second) total += file.privateBytes;
      if (run.subdirectory != none) path.emplace_back(run.subdirectory, 0);
    }
    return sum;
  }

  const int rootFd_;
  TaskStack<Task> tasks_;                   // the directories not yet taken
  std::vector<std::vector<char>> buffers_;  // one listing buffer for each thread
  std::mutex lock_;
  // Guarded by lock_ while threads count: every directory found so far, the root first.
  std::vector<Directory> nodes_;
};

}  // namespace

SpaceBelow spaceBelow(const DirectoryHandle& root) { return SpaceCounter(root.fd()).run(); }

}  // namespace redomark
