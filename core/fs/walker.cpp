#include "core/fs/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/fs/entry_listing.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/open_to_look.h"
#include "core/fs/parallel_range.h"

namespace redomark {

namespace {

constexpr int64_t cancelCheckInterval = 512;
// Sharing a directory's status calls ends with waiting for a helper to wake
// and finish, tens of microseconds when a core is free and up to a time slice
// when the machine is busy: more than a typical directory's calls take alone.
constexpr size_t parallelMinimumItems = 256;
// Directories opened ahead of the walk and not yet entered, and the items
// listed in them, at most: enough to keep every helper busy while the walk is
// elsewhere (in a tree of small directories a window of a few hundred left
// the helper idle a third of the time), few enough that their listings stay
// a small part of a walk's memory.
constexpr size_t aheadDirectories = 1024;
constexpr size_t aheadItems = 16384;
// Directories above the current one are opened ahead only while fewer than
// this many wait for a helper: the helpers go on from them to their
// subdirectories, and a window full of directories that the walk reaches only
// much later would leave them idle.
constexpr size_t aheadWaiting = 4;
// A walk this short is over sooner than a helper thread starts.
constexpr int64_t aheadAfterItems = 32;
constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

struct Ahead;

// One item of a directory, examined while the directory was open.
struct Child {
  size_t nameOffset = 0;  // into Listing::names
  size_t nameLength = 0;
  int error = 0;  // errno of the failed status call, else 0
  EntryKind kind = EntryKind::other;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  uint64_t dev = 0;
  uint64_t inode = 0;
  bool mountRoot = false;
  uint32_t flags = 0;
  Ahead* ahead = nullptr;  // this subdirectory, opened ahead of the walk
};

// A directory's items and their names, each name followed by its terminator
// for the status call.
struct Listing {
  std::vector<Child> children;
  std::string names;
};

// A subdirectory opened as soon as its parent was entered, and listed by
// whichever thread gets to it first, so that the status calls of directories
// still ahead run on other cores while the walk delivers the current one.
struct Ahead {
  enum class State { queued, taken, done };
  State state = State::queued;  // guarded by the walker's lock
  int fd = -1;
  uint64_t dev = 0;  // of the directory, as its parent's listing saw it
  size_t countedItems = 0;  // of its listing, counted against aheadItems
  int openError = 0;  // errno of the failed open, else 0
  int listError = 0;  // errno of the failed listing, else 0
  Listing listing;
};

// One directory on the way from the root to the current item. Its vectors
// are kept from one sibling to the next, so a walk allocates only while it
// meets larger directories or deeper trees than before.
struct Level {
  int fd = -1;
  uint64_t dev = 0;
  uint64_t inode = 0;  // with dev, to know the directory again when it is reopened
  Listing listing;
  size_t next = 0;
  size_t aheadFrom = 0;   // first child not yet considered for opening ahead
  size_t pathLength = 0;  // bytes of the path buffer up to and including this directory's "/"
};

// Status calls scale with cores until the file system's locks bind.
size_t statusHelpers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? std::min<size_t>(cores - 1, 3) : 0;
}

FsError readError(const std::string& path, int error) { return FsError(error, FsOperation::read, path); }

void examineChild(int fd, const std::string& names, Child& child) {
  EntryFacts facts;
  if (const int error = examineEntry(fd, names.data() + child.nameOffset, facts); error != 0) {
    child.error = error;
    return;
  }
  child.kind = facts.kind;
  child.size = facts.size;
  child.mtimeNs = facts.mtimeNs;
  child.dev = facts.dev;
  child.inode = facts.inode;
  child.mountRoot = facts.mountRoot;
  child.flags = facts.flags;
}

// Lists the open directory fd into listing and examines every item; the
// errno of a failed listing, else 0. A large directory's status calls are
// shared with pool when one is given.
int listDirectory(int fd, std::vector<char>& buffer, Listing& listing, ParallelRange* pool) {
  listing.children.clear();
  listing.names.clear();
  const int error = readEntryNames(fd, buffer, [&](const char* name) {
    Child& child = listing.children.emplace_back();
    child.nameOffset = listing.names.size();
    child.nameLength = std::strlen(name);
    listing.names.append(name, child.nameLength + 1);
  });
  if (error != 0) return error;
  if (pool && listing.children.size() >= parallelMinimumItems) {
    pool->run(listing.children.size(), [&](size_t i) { examineChild(fd, listing.names, listing.children[i]); });
  } else {
    for (Child& child : listing.children) examineChild(fd, listing.names, child);
  }
  return 0;
}

class Walker {
 public:
  Walker(const DirectoryHandle& root, const OperationControl* control, const WalkVisitor& visit, WalkPace pace)
      : root_(root.path()),
        rootFd_(root.fd()),
        control_(control),
        visit_(visit),
        openBudget_(openLevelBudget()),
        helperCount_(pace == WalkPace::openAhead ? statusHelpers() : 0) {
    path_ = root_;
    if (path_.empty() || path_.back() != '/') path_ += '/';
    prefix_ = path_.size();
  }

  ~Walker() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    queuedOrStopping_.notify_all();
    // A helper may still be listing a directory; its descriptor is closed
    // only once the helper is gone.
    for (std::thread& helper : helpers_) helper.join();
    for (Level& level : levels_)
      if (level.fd >= 0) close(level.fd);
    for (const std::unique_ptr<Ahead>& ahead : aheads_)
      if (ahead->fd >= 0) close(ahead->fd);
  }

  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  void run() {
    // A description of its own, so that listing it moves no offset the
    // caller's descriptor shares.
    const int rootFd = openToLook(rootFd_, ".", directoryOpenFlags);
    if (rootFd < 0) throw readError(root_, errno);
    struct stat facts {};
    const bool stated = fstat(rootFd, &facts) == 0;
    Level& level = push(rootFd, stated ? static_cast<uint64_t>(facts.st_dev) : 0, stated ? facts.st_ino : 0, prefix_);
    if (const int error = listDirectory(level.fd, buffer_, level.listing, &pool_)) throw readError(root_, error);
    settle();
    while (depth_ > 0) step();
  }

 private:
  Level& top() { return levels_[depth_ - 1]; }

  Level& push(int fd, uint64_t dev, uint64_t inode, size_t pathLength) {
    if (levels_.size() == depth_) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.fd = fd;
    level.dev = dev;
    level.inode = inode;
    level.next = 0;
    level.aheadFrom = 0;
    level.pathLength = pathLength;
    return level;
  }

  // A newly entered directory: the one that falls out of the open window
  // closed, and its subdirectories opened ahead.
  void settle() {
    if (depth_ > openBudget_ + 1) closeLevel(levels_[depth_ - 1 - openBudget_]);
    openAhead();
  }

  // Leaves the current directory for its parent, which is opened again
  // through ".." when it was closed, and must be the directory it was. (A
  // directory entered ahead may have no descriptor left: its parent is then
  // opened from above when it is needed.)
  void leave() {
    Level& left = top();
    if (depth_ > 1 && left.fd >= 0) {
      Level& parent = levels_[depth_ - 2];
      if (parent.fd < 0) {
        parent.fd = openToLook(left.fd, "..", directoryOpenFlags);
        struct stat facts {};
        const bool same = parent.fd >= 0 && fstat(parent.fd, &facts) == 0 &&
                          static_cast<uint64_t>(facts.st_dev) == parent.dev && facts.st_ino == parent.inode;
        if (!same) {
          path_.resize(parent.pathLength - 1);  // never the root, which stays open
          throw FsError::changed(path_);
        }
      }
    }
    closeLevel(left);
    --depth_;
  }

  void closeLevel(Level& level) {
    if (level.fd >= 0) close(level.fd);
    level.fd = -1;
  }

  // Delivers the next item of the current directory, or leaves the directory.
  void step() {
    Level& level = top();
    if (level.next == level.listing.children.size()) return leave();
    Child& child = level.listing.children[level.next++];
    const char* name = level.listing.names.data() + child.nameOffset;
    path_.resize(level.pathLength);
    path_.append(name, child.nameLength);
    // Removed since the listing (an editor's temporary file, say): left out.
    if (child.error == ENOENT) return;
    if (child.error != 0) throw readError(path_, child.error);

    ++delivered_;
    if (control_ && delivered_ % cancelCheckInterval == 0 && control_->isCancelled())
      throw FsError::cancelled();

    // The exact bytes: two names are one item only when their bytes are equal.
    entry_.path.assign(std::string_view(path_).substr(prefix_));
    entry_.kind = child.kind;
    entry_.size = child.size;
    entry_.mtimeNs = child.mtimeNs;
    entry_.dev = child.dev;
    entry_.inode = child.inode;
    entry_.mountRoot = child.mountRoot;
    entry_.flags = child.flags;
    visit_(entry_);

    if (child.kind == EntryKind::directory) descend(level, child);
  }

  void descend(Level& parent, Child& child) {
    if (child.ahead) return enterAhead(child);
    const int fd = parent.fd >= 0 ? openToLook(parent.fd, path_.c_str() + parent.pathLength, directoryOpenFlags)
                                  : openFromAnchor();
    if (fd < 0 && errno == ENOENT) return;  // removed since it was listed
    if (fd < 0) failOpen(errno);
    path_ += '/';
    Level& level = push(fd, child.dev, child.inode, path_.size());
    if (const int error = listDirectory(fd, buffer_, level.listing, &pool_)) throw readError(directoryPath(), error);
    settle();
  }

  // Its status said directory: a failure to open it as one means it was
  // replaced (by a link, say) since.
  [[noreturn]] void failOpen(int error) const {
    if (error == ELOOP || error == ENOTDIR) throw FsError::changed(path_);
    throw readError(path_, error);
  }

  std::string directoryPath() const { return path_.substr(0, path_.size() - 1); }

  // Opens the current path relative to the deepest directory still open,
  // following no link on the way; the root itself is always open.
  int openFromAnchor() {
    size_t i = depth_;
    while (levels_[--i].fd < 0) {
    }
    const Level& anchor = levels_[i];
    return openDirectoryBelow(anchor.fd, std::string_view(path_).substr(anchor.pathLength));
  }

  // Enters a subdirectory opened ahead, listing it here unless a helper has
  // taken it, in which case the walk waits for that helper.
  void enterAhead(Child& child) {
    Ahead& ahead = *child.ahead;
    child.ahead = nullptr;
    bool listHere = false;
    {
      std::unique_lock<std::mutex> guard(lock_);
      if (ahead.state == Ahead::State::queued) {
        ahead.state = Ahead::State::taken;
        --queued_;
        listHere = true;
      } else {
        waitFor(ahead, guard);
      }
    }
    if (listHere && ahead.openError == 0) ahead.listError = listDirectory(ahead.fd, buffer_, ahead.listing, &pool_);
    const int openFailure = ahead.openError;
    const int listFailure = ahead.listError;
    const int fd = ahead.fd;
    ahead.fd = -1;
    const bool heldDescriptor = fd >= 0;
    Level* level = nullptr;
    if (openFailure == 0) {
      path_ += '/';
      level = &push(fd, child.dev, child.inode, path_.size());
      // The level's vectors go to the spare, to be filled again.
      std::swap(level->listing, ahead.listing);
    }
    release(ahead, heldDescriptor);
    if (openFailure == ENOENT) return;  // removed since it was listed
    if (openFailure != 0) failOpen(openFailure);
    if (listFailure != 0) throw readError(directoryPath(), listFailure);
    settle();
  }

  // Waits for a helper to finish listing ahead. Sleeping there costs a
  // wake-up, up to a time slice on a busy machine, so the walk lists
  // directories still queued while it waits and sleeps only when none is.
  void waitFor(const Ahead& ahead, std::unique_lock<std::mutex>& guard) {
    while (ahead.state != Ahead::State::done) {
      Ahead* other = nullptr;
      while (!queue_.empty() && !other) {
        if (queue_.front()->state == Ahead::State::queued) other = queue_.front();
        queue_.pop_front();
      }
      if (!other) {
        listed_.wait(guard, [&] { return ahead.state == Ahead::State::done; });
        return;
      }
      other->state = Ahead::State::taken;
      --queued_;
      guard.unlock();
      const int error = listDirectory(other->fd, buffer_, other->listing, &pool_);
      guard.lock();
      other->listError = error;
      other->state = Ahead::State::done;
    }
  }

  // Opens subdirectories that the walk will enter soon, the nearest first:
  // those of the current directory, then those of the directories above it
  // still to come, while few are waiting.
  void openAhead() {
    if (helperCount_ == 0 || delivered_ < aheadAfterItems) return;
    std::vector<Ahead*>& batch = batch_;
    batch.clear();
    for (size_t i = depth_; i-- > 0;) {
      Level& level = levels_[i];
      if (level.fd < 0) continue;
      size_t most = SIZE_MAX;
      if (i + 1 < depth_) {
        std::lock_guard<std::mutex> guard(lock_);
        if (queued_ + batch.size() >= aheadWaiting) break;
        most = aheadWaiting - queued_;
      }
      level.aheadFrom = std::max(level.aheadFrom, level.next);
      if (openChildrenAhead(level.fd, level.dev, level.listing, level.aheadFrom, batch, most) == Opened::windowFull)
        break;
    }
    if (batch.empty()) return;
    startHelpers();
    {
      // A spare may still be in the queue from its last use; its state says
      // whether a helper should take it.
      std::lock_guard<std::mutex> guard(lock_);
      for (Ahead* ahead : batch) queue(*ahead);
      queue_.insert(queue_.begin(), batch.begin(), batch.end());
    }
    if (batch.size() == 1)
      queuedOrStopping_.notify_one();
    else
      queuedOrStopping_.notify_all();
  }

  enum class Opened { all, someLeft, windowFull };

  // Opens the subdirectories of a listing from child from on, in order, until
  // the window of directories ahead is full or opened holds most. Directories
  // on another mount are left to be opened in their turn, after the visitor
  // has seen their mount point. Called by the walk for the directories on its
  // way and by a helper for one it has just listed, which nobody else sees yet.
  Opened openChildrenAhead(int fd, uint64_t dev, Listing& listing, size_t& from, std::vector<Ahead*>& opened,
                            size_t most = SIZE_MAX) {
    std::vector<Child>& children = listing.children;
    Opened result = Opened::all;
    for (; from < children.size(); ++from) {
      Child& child = children[from];
      if (child.kind != EntryKind::directory || child.error != 0 || child.ahead) continue;
      if (child.mountRoot || child.dev != dev) {
        result = Opened::someLeft;
        continue;
      }
      if (opened.size() >= most) return Opened::someLeft;
      Ahead* ahead = reserve();
      if (!ahead) return Opened::windowFull;
      ahead->fd = openToLook(fd, listing.names.data() + child.nameOffset, directoryOpenFlags);
      ahead->openError = ahead->fd < 0 ? errno : 0;
      if (ahead->fd < 0) dropDescriptor();
      ahead->listError = 0;
      ahead->dev = child.dev;
      child.ahead = ahead;
      opened.push_back(ahead);
    }
    return result;
  }

  // A place in the window of directories ahead, with a descriptor to open it
  // by, or nullptr when either is used up. Their descriptors stay within a
  // quarter of the process's; most are closed once listed.
  Ahead* reserve() {
    std::lock_guard<std::mutex> guard(lock_);
    if (aheadCount_ >= aheadDirectories || aheadItems_ >= aheadItems || aheadOpen_ >= 2 * openBudget_) return nullptr;
    ++aheadCount_;
    ++aheadOpen_;
    if (spare_.empty()) {
      aheads_.push_back(std::make_unique<Ahead>());
      return aheads_.back().get();
    }
    Ahead* ahead = spare_.back();
    spare_.pop_back();
    return ahead;
  }

  // Hands an opened directory to the helpers, unless it failed to open.
  void queue(Ahead& ahead) {
    if (ahead.openError != 0) {
      ahead.state = Ahead::State::done;
      return;
    }
    ahead.state = Ahead::State::queued;
    ++queued_;
  }

  void dropDescriptor() {
    std::lock_guard<std::mutex> guard(lock_);
    --aheadOpen_;
  }

  // An entered directory's place, free for the next one; its descriptor, if
  // it still had one, now counts among the walk's levels.
  void release(Ahead& ahead, bool heldDescriptor) {
    std::lock_guard<std::mutex> guard(lock_);
    if (heldDescriptor) --aheadOpen_;
    --aheadCount_;
    aheadItems_ -= ahead.countedItems;
    ahead.countedItems = 0;
    spare_.push_back(&ahead);
  }

  void startHelpers() {
    while (helpers_.size() < helperCount_) {
      try {
        helpers_.emplace_back([this] { helperLoop(); });
      } catch (const std::system_error&) {
        helperCount_ = helpers_.size();  // the walk lists what no helper takes
        return;
      }
    }
  }

  // Lists queued directories until the walk ends, the farthest from the walk
  // first, and opens their subdirectories ahead as well: the walk lists what
  // is near, the helpers what it will reach last, so that they seldom meet.
  void helperLoop() {
    std::vector<char> buffer;
    std::vector<Ahead*> opened;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      queuedOrStopping_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      Ahead& ahead = *queue_.back();
      queue_.pop_back();
      if (ahead.state != Ahead::State::queued) continue;  // the walk took it itself
      ahead.state = Ahead::State::taken;
      --queued_;
      guard.unlock();
      ahead.listError = listDirectory(ahead.fd, buffer, ahead.listing, nullptr);
      opened.clear();
      size_t from = 0;
      // A directory whose subdirectories are all open needs no descriptor of
      // its own: fewer stay open, and the table of them need not grow, which
      // with several threads waits for the kernel's grace period.
      const bool closing =
          ahead.listError == 0 && openChildrenAhead(ahead.fd, ahead.dev, ahead.listing, from, opened) == Opened::all;
      if (closing) {
        close(ahead.fd);
        ahead.fd = -1;
      }
      guard.lock();
      if (closing) --aheadOpen_;
      ahead.countedItems = ahead.listing.children.size();
      aheadItems_ += ahead.countedItems;
      ahead.state = Ahead::State::done;
      // In the walk's order, so that the last of them is taken next.
      for (Ahead* child : opened) {
        queue(*child);
        queue_.push_back(child);
      }
      listed_.notify_all();
      if (opened.size() > 1) queuedOrStopping_.notify_all();
    }
  }

  const std::string& root_;
  const int rootFd_;
  const OperationControl* control_;
  const WalkVisitor& visit_;
  // Only the root and this many of the deepest directories stay open; one
  // closed above them is found again through the ".." of its subdirectory.
  const size_t openBudget_;
  ParallelRange pool_{statusHelpers()};
  std::string path_;  // root, "/", then the current item's relative path
  size_t prefix_ = 0;
  std::vector<Level> levels_;
  size_t depth_ = 0;
  std::vector<char> buffer_;
  WalkEntry entry_;
  int64_t delivered_ = 0;

  // Directories opened ahead, by the walk and by the helpers; only the walk
  // enters them.
  size_t helperCount_;
  std::vector<Ahead*> batch_;
  std::vector<std::unique_ptr<Ahead>> aheads_;  // guarded by lock_: every one made, to close what is left
  std::vector<Ahead*> spare_;                   // guarded by lock_: entered, ready to be used again
  size_t aheadCount_ = 0;                       // guarded by lock_: opened and not yet entered
  size_t aheadOpen_ = 0;                        // guarded by lock_: of those, still holding a descriptor
  size_t aheadItems_ = 0;                       // guarded by lock_: listed by helpers and not yet entered
  std::vector<std::thread> helpers_;
  std::mutex lock_;
  std::condition_variable queuedOrStopping_;
  std::condition_variable listed_;
  std::deque<Ahead*> queue_;  // guarded by lock_; may hold ones the walk took itself
  bool stopping_ = false;     // guarded by lock_
  size_t queued_ = 0;         // guarded by lock_: waiting for a helper
};

}  // namespace

void walk(const DirectoryHandle& root, const OperationControl* control, const WalkVisitor& visit, WalkPace pace) {
  Walker(root, control, visit, pace).run();
}

}  // namespace redomark
