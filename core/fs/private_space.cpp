#include "core/fs/private_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/volume.h"

namespace redomark {

namespace {

constexpr size_t listingBufferBytes = 64 * 1024;
constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Opening and mapping a file are three system calls that wait on nothing
// but the processor, so one thread per core; more only take turns.
size_t countingThreads() { return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4); }

// Opens the directory at a path below rootFd; a path longer than the system
// resolves in one call is opened a piece at a time.
int openBelow(int rootFd, const std::string& relative) {
  if (relative.size() < PATH_MAX) return openat(rootFd, relative.c_str(), directoryOpenFlags);
  int at = rootFd;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.size();
    // Names are far shorter than PATH_MAX, so a piece always ends at a "/".
    if (end - start >= PATH_MAX) end = relative.rfind('/', start + PATH_MAX - 1);
    const int next = openat(at, relative.substr(start, end - start).c_str(), directoryOpenFlags);
    if (at != rootFd) close(at);
    if (next < 0) return -1;
    at = next;
    start = end + 1;
  }
  return at;
}

unsigned typeOf(int directoryFd, const char* name, unsigned char listed) {
  if (listed != DT_UNKNOWN) return listed;
  struct stat facts;
  if (fstatat(directoryFd, name, &facts, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return IFTODT(facts.st_mode);
}

class SpaceCounter {
 public:
  explicit SpaceCounter(int rootFd) : rootFd_(rootFd) { pending_.emplace_back("."); }

  int64_t run() {
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < countingThreads(); ++i) {
      try {
        helpers.emplace_back([this] {
          // A descriptor table of its own spares each open and close the
          // table lock the other threads take; the root's descriptor is copied.
          unshare(CLONE_FILES);
          work();
        });
      } catch (const std::system_error&) {
        break;  // fewer threads count the same
      }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    return total_;
  }

 private:
  // Takes directories until none is left and none is being listed, or one
  // could not be read.
  void work() {
    std::vector<char> buffer(listingBufferBytes);
    std::vector<std::string> found;
    int64_t counted = 0;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return failed_ || !pending_.empty() || busy_ == 0; });
      if (failed_ || pending_.empty()) break;
      const std::string directory = std::move(pending_.back());
      pending_.pop_back();
      ++busy_;
      guard.unlock();
      found.clear();
      const bool read = countDirectory(directory, buffer, found, counted);
      guard.lock();
      --busy_;
      if (!read) failed_ = true;
      for (std::string& sub : found) pending_.push_back(std::move(sub));
      changed_.notify_all();
    }
    total_ += counted;
  }

  // Adds the private sizes of a directory's files to counted and its
  // subdirectories' paths to found; false when it could not be read.
  bool countDirectory(const std::string& directory, std::vector<char>& buffer, std::vector<std::string>& found,
                      int64_t& counted) const {
    const FileDescriptor fd(openBelow(rootFd_, directory));
    if (fd.get() < 0) return false;
    for (;;) {
      const ssize_t got = getdents64(fd.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got == 0;
      for (ssize_t at = 0; at < got;) {
        const auto* d = reinterpret_cast<const dirent64*>(buffer.data() + at);
        at += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        const unsigned type = typeOf(fd.get(), name, d->d_type);
        if (type == DT_UNKNOWN) return false;
        if (type == DT_DIR) found.push_back(directory == "." ? std::string(name) : directory + "/" + name);
        if (type == DT_REG) counted += countOnce(fileSpaceAt(fd.get(), name));
      }
    }
  }

  // A file with several names is one file: its bytes count at its first name.
  int64_t countOnce(const std::optional<FileSpace>& space) const {
    if (!space) return 0;
    if (!space->linked) return space->privateBytes;
    const std::lock_guard<std::mutex> guard(linkedLock_);
    return linkedCounted_.insert(space->inode).second ? space->privateBytes : 0;
  }

  const int rootFd_;
  mutable std::mutex linkedLock_;
  mutable std::unordered_set<uint64_t> linkedCounted_;  // guarded by linkedLock_
  std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_: directories not yet taken (paths below the root; a
  // stack, so the walk stays deep and the list short), how many are being
  // listed, whether one could not be read, and the sum of finished threads.
  std::vector<std::string> pending_;
  size_t busy_ = 0;
  bool failed_ = false;
  int64_t total_ = 0;
};

}  // namespace

int64_t privateSpaceBelow(const std::string& root) {
  // Reached without following a link anywhere on the way, like every store path.
  const std::optional<DirectoryHandle> directory = DirectoryHandle::open(root);
  if (!directory) return 0;
  return SpaceCounter(directory->fd()).run();
}

}  // namespace redomark
