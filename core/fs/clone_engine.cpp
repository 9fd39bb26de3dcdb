#include "core/fs/clone_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fs/attribute_copier.h"
#include "core/fs/clone_calls.h"
#include "core/fs/file_data_copy.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/open_to_look.h"
#include "core/fs/path_text.h"
#include "core/fs/subvolume.h"
#include "core/fs/task_stack.h"
#include "core/fs/tree_removal.h"
#include "core/fs/volume.h"

namespace redomark {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: should a FIFO take the place of a file after its status call,
// opening it must not wait for a writer.
constexpr int sourceFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
// New directories stay private to us until their own permissions are put on
// last. A file is made with its own permission bits (less any set-id bit), as
// what it holds is no more private than that once it is finished, and the
// directory around it is still ours alone.
constexpr mode_t workingMode = 0700;
// Below this many items a tree is copied on one thread: handing out its
// directories would cost more than it saves.
constexpr int64_t parallelMinimumItems = 1000;

using Descriptor = FileDescriptor;

// Removes the copy made so far unless the copy commits; with made, only once
// *made says the copy's name was made.
class DestinationGuard {
 public:
  DestinationGuard(int parentFd, std::string name, std::string path, const bool* made = nullptr)
      : parentFd_(parentFd), name_(std::move(name)), path_(std::move(path)), made_(made) {}
  DestinationGuard(const DestinationGuard&) = delete;
  DestinationGuard& operator=(const DestinationGuard&) = delete;
  ~DestinationGuard() {
    if (committed_ || (made_ && !*made_)) return;
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
  const bool* made_;
  bool committed_ = false;
};

struct InodeKey {
  dev_t dev;
  ino_t ino;
  bool operator==(const InodeKey&) const = default;
};

struct InodeKeyHash {
  size_t operator()(const InodeKey& k) const { return std::hash<uint64_t>()(k.ino * 31 + k.dev); }
};

// The copy of an inode's first name met, for its further names to link to.
struct FirstCopy {
  std::string path;  // below the destination root
  bool cloned = false;
  int64_t size = 0;  // of the copy, for its further names
};

int64_t nanoseconds(const timespec& t) { return t.tv_sec * 1'000'000'000 + t.tv_nsec; }

// A directory whose copy is made and open, its contents still to copy.
struct DirectoryTask {
  Descriptor source;
  Descriptor destination;
  struct stat st;
  bool noCow;        // of the copy, which the items made in it take on
  std::string path;  // of the source
};

// Thrown by a thread that stops because another one failed; never seen
// outside the copy, as the first failure is what the copy throws.
struct StoppedByOther {};

size_t copyThreads(std::optional<int64_t> total, int destinationFd) {
  if (!total || *total < parallelMinimumItems || !copiesScaleWithThreads(destinationFd)) return 1;
  return threadsPerCore();
}

// What the threads copying one tree share.
struct SharedCopy {
  SharedCopy(CloneContext& context, size_t threads, const CopiedItemVisitor* onCopied = nullptr)
      : context(context), tasks(threads), onCopied(onCopied) {}
  // The figures, into the context once no thread counts any more.
  void publish() const {
    context.files = files;
    context.cloned = cloned;
    context.links = links;
  }

  CloneContext& context;
  std::atomic<int64_t> files{0}, cloned{0}, links{0};
  TaskStack<DirectoryTask> tasks;
  const CopiedItemVisitor* onCopied;
  std::mutex madeLock;  // held while onCopied is told of an item
  // Set before the tree's first directory is handed out, then only read.
  size_t rootLength = 0;  // of the source root's path, at the start of each path
  Descriptor destinationRoot{-1};
  uint64_t rootMount = 0;  // the source root's mount id; a directory on another is never copied
  // Each file's attribute is looked at before its clone, not only when the
  // clone is refused: for single items, and on volumes that would not refuse.
  bool lookBeforeCloning = true;
  // Held while a file with several names is copied, so that its inode is
  // copied once and its other names, met by any thread, link to that copy.
  std::mutex linkedLock;
  std::unordered_map<InodeKey, FirstCopy, InodeKeyHash> firstCopies;  // only of inodes with further names
};

class TreeCopier {
 public:
  TreeCopier(SharedCopy& shared, std::string path)
      : shared_(shared), path_(std::move(path)), openBudget_(openLevelBudget()) {}

  // Copies the contents and attributes of a whole directory into the new,
  // empty destination, whose names of one inode become links to one copy.
  // inheritedNoCow: the attribute of the destination's parent, which a new
  // directory takes on.
  void copyRoot(Descriptor& source, const struct stat& st, Descriptor& destination, bool inheritedNoCow);
  // A root that is a file or a link is copied under the destination's name;
  // made turns true once that name is made, and not before.
  void copySingle(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                  const struct stat& st, bool& made);
  [[noreturn]] void fail(int code) const;
  // For an entry that is no longer of the kind its status said: it was
  // replaced (by a link, say) while the copy ran.
  [[noreturn]] void replaced() const;
  // The no-copy-on-write attribute of an open file or directory; false where
  // the file system keeps no such attribute.
  bool isNoCow(int fd) const;
  // Ownership, attributes, permission bits and times, in the order in which
  // none undoes another: chown clears set-id bits and file capabilities. With
  // the status the destination has now, ownership and permission bits that are
  // already right are left alone, which saves a file system transaction each.
  void finish(int sourceFd, int destinationFd, const struct stat& st, const struct stat* current = nullptr);
  // Gives the destination the source's no-copy-on-write attribute.
  void carryNoCow(int sourceFd, int destinationFd) {
    matchNoCow(isNoCow(sourceFd), destinationFd, isNoCow(destinationFd));
  }
  void stopIfCancelled() const {
    if (shared_.context.control && shared_.context.control->isCancelled()) throw FsError::cancelled();
    if (shared_.tasks.stopping()) throw StoppedByOther{};
  }

 private:
  // Copies the directories handed out, on as many threads as the copy has.
  void runTasks();
  void copyTask(DirectoryTask& task);
  // Lists the whole directory first, so that no listing stays open below it:
  // each name is kept after the type byte the listing gave it.
  void listNames(int sourceDir, size_t depth);
  // noCow: whether the destination directory has the no-copy-on-write
  // attribute, which the items made in it take on.
  void copyContents(Descriptor& sourceDir, Descriptor& destinationDir, size_t depth, bool noCow);
  void copyItem(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, unsigned char type, size_t depth,
                bool noCow);
  // A file or directory the listing named as one is opened first and examined
  // through its descriptor, a lookup of its name saved; false, with nothing
  // copied, when it is another kind by now or can't be opened.
  bool copyAsListed(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, unsigned char type,
                    size_t depth, bool noCow);
  // source: the directory or file itself, open.
  void copyDirectory(Descriptor& source, Descriptor& sourceDir, Descriptor& destinationDir, const char* name,
                     const struct stat& st, size_t depth, bool noCow);
  void copyFile(const Descriptor& source, int destinationDir, const char* destinationName, const struct stat& st,
                bool noCow);
  // Puts the source's data into its new, empty copy: shared where the volume
  // can (true), else copied.
  bool fillCopy(const Descriptor& source, const Descriptor& destination, const struct stat& st, bool noCow);
  Descriptor openSourceFile(int sourceDir, const char* name) const;
  // A further name of an inode already copied in this tree becomes a link to
  // that copy; false when it is not one, or the link can't be made.
  bool linkToFirstCopy(const struct stat& st, int destinationDir, const char* destinationName);
  void rememberFirstCopy(const struct stat& st, bool cloned, int64_t size);
  // Tells the caller of a whole tree's copy of the item at path_, now made.
  // Never inlined: each level of a deep tree's copy has little stack to spare.
  [[gnu::noinline]] void made(EntryKind kind, int64_t size, const struct stat& st);
  // The destination has the source's attribute before any data goes in, so
  // that Btrfs lets the two share blocks. destinationNoCow: what the
  // destination took on from its directory.
  void matchNoCow(bool noCow, int destinationFd, bool destinationNoCow);
  void requireCopySpace(int destinationFd, int64_t bytes) const;
  void copyLink(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                const struct stat& st);
  void fileFinished(bool cloned);

  SharedCopy& shared_;
  std::string path_;  // source path of the item being copied
  std::vector<char> buffer_;
  AttributeCopier attributes_;
  // Names of the directory being copied at each depth, NUL-terminated one
  // after another; a deque, so going deeper never moves a shallower one.
  std::deque<std::string> listings_;
  // Below this depth a directory's pair is closed while its subdirectories
  // are copied, and found again through their "..".
  const size_t openBudget_;
  bool* made_ = nullptr;  // of a single item's copy: whether its name is made yet
};

void TreeCopier::fail(int code) const {
  stopIfCancelled();
  throw FsError(code, FsOperation::copy, path_);
}

void TreeCopier::replaced() const {
  stopIfCancelled();
  throw FsError::changed(path_);
}

void TreeCopier::copyRoot(Descriptor& source, const struct stat& st, Descriptor& destination, bool inheritedNoCow) {
  // Its own descriptor, as the root's task closes the one it is given.
  shared_.destinationRoot.reset(fcntl(destination.get(), F_DUPFD_CLOEXEC, 0));
  if (shared_.destinationRoot.get() < 0) fail(errno);
  shared_.rootLength = path_.size();
  shared_.rootMount = mountIdOf(source.get());
  shared_.lookBeforeCloning = mayCloneAcrossNoCow(destination.get());
  const bool noCow = isNoCow(source.get());
  matchNoCow(noCow, destination.get(), inheritedNoCow);
  shared_.tasks.push({std::move(source), std::move(destination), st, noCow, path_});
  runTasks();
}

void TreeCopier::runTasks() {
  std::vector<std::unique_ptr<TreeCopier>> helpers;
  for (size_t worker = 1; worker < shared_.tasks.threads(); ++worker)
    helpers.push_back(std::make_unique<TreeCopier>(shared_, std::string()));
  shared_.tasks.run(
      [&](size_t worker, DirectoryTask& task) { (worker == 0 ? *this : *helpers[worker - 1]).copyTask(task); },
      [](size_t) {});
}

void TreeCopier::copyTask(DirectoryTask& task) {
  path_ = std::move(task.path);
  copyContents(task.source, task.destination, 0, task.noCow);
  // After the contents, whose creation would otherwise move its times; a
  // subdirectory handed out changes only its own.
  finish(task.source.get(), task.destination.get(), task.st);
}

void TreeCopier::copySingle(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                            const struct stat& st, bool& made) {
  made_ = &made;
  if (S_ISREG(st.st_mode))
    return copyFile(openSourceFile(sourceDir, sourceName), destinationDir, destinationName, st,
                    isNoCow(destinationDir));
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
    names.push_back(static_cast<char>(e->d_type));
    names.append(e->d_name, std::strlen(e->d_name) + 1);
  }
}

void TreeCopier::copyContents(Descriptor& sourceDir, Descriptor& destinationDir, size_t depth, bool noCow) {
  listNames(sourceDir.get(), depth);
  const std::string& names = listings_[depth];
  const size_t parentLength = path_.size();
  for (size_t at = 0; at < names.size();) {
    const auto type = static_cast<unsigned char>(names[at]);
    const char* name = names.data() + at + 1;
    const size_t length = std::strlen(name);
    path_.append("/").append(name, length);
    copyItem(sourceDir, destinationDir, name, type, depth, noCow);
    path_.resize(parentLength);
    at += length + 2;
  }
}

void TreeCopier::copyItem(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, unsigned char type,
                          size_t depth, bool noCow) {
  stopIfCancelled();
  if (copyAsListed(sourceDir, destinationDir, name, type, depth, noCow)) return;
  // An item removed since the listing (an editor's temporary file, say) is
  // left out, as if it had been removed before the copy began.
  struct stat st;
  if (fstatat(sourceDir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;
    fail(errno);
  }
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: {
      Descriptor source(openToLook(sourceDir.get(), name, sourceFileFlags));
      if (source.get() < 0 && errno == ENOENT) return;
      if (source.get() < 0 && errno == ELOOP) replaced();
      if (source.get() < 0) fail(errno);
      return copyFile(source, destinationDir.get(), name, st, noCow);
    }
    case S_IFDIR: {
      Descriptor source(openToLook(sourceDir.get(), name, directoryFlags));
      if (source.get() < 0 && errno == ENOENT) return;
      if (source.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) replaced();
      if (source.get() < 0) fail(errno);
      return copyDirectory(source, sourceDir, destinationDir, name, st, depth, noCow);
    }
    case S_IFLNK: return copyLink(sourceDir.get(), name, destinationDir.get(), name, st);
    default: fail(ENOTSUP);  // FIFOs, sockets and devices have no place in a copy
  }
}

bool TreeCopier::copyAsListed(Descriptor& sourceDir, Descriptor& destinationDir, const char* name, unsigned char type,
                              size_t depth, bool noCow) {
  if (type != DT_REG && type != DT_DIR) return false;
  Descriptor source(openToLook(sourceDir.get(), name, type == DT_REG ? sourceFileFlags : directoryFlags));
  struct stat st;
  if (source.get() < 0 || fstat(source.get(), &st) != 0) return false;
  if (type == DT_REG && S_ISREG(st.st_mode)) {
    copyFile(source, destinationDir.get(), name, st, noCow);
    return true;
  }
  if (type == DT_DIR && S_ISDIR(st.st_mode)) {
    copyDirectory(source, sourceDir, destinationDir, name, st, depth, noCow);
    return true;
  }
  return false;
}

Descriptor TreeCopier::openSourceFile(int sourceDir, const char* name) const {
  Descriptor source(openToLook(sourceDir, name, sourceFileFlags));
  if (source.get() < 0 && errno == ELOOP) replaced();
  if (source.get() < 0) fail(errno);
  return source;
}

void TreeCopier::copyDirectory(Descriptor& source, Descriptor& sourceDir, Descriptor& destinationDir, const char* name,
                               const struct stat& st, size_t depth, bool noCow) {
  // A mount made inside the tree since it was first walked is another disk.
  if (shared_.rootMount != 0 && mountIdOf(source.get()) != shared_.rootMount) {
    stopIfCancelled();
    throw FsError::otherVolume(path_);
  }
  if (mkdirat(destinationDir.get(), name, workingMode) != 0) fail(errno);
  Descriptor destination(openat(destinationDir.get(), name, directoryFlags));
  if (destination.get() < 0) fail(errno);
  // Its times are put on after its contents, and are the source's.
  made(EntryKind::directory, 0, st);
  const bool ownNoCow = isNoCow(source.get());
  matchNoCow(ownNoCow, destination.get(), noCow);
  if (shared_.tasks.wanted()) {
    shared_.tasks.push({std::move(source), std::move(destination), st, ownNoCow, path_});
    return;
  }
  const bool releaseParent = depth >= openBudget_;
  if (releaseParent) {
    sourceDir.reset();
    destinationDir.reset();
  }
  copyContents(source, destination, depth + 1, ownNoCow);
  // After the contents, whose creation would otherwise move its times.
  finish(source.get(), destination.get(), st);
  if (releaseParent) {
    sourceDir.reset(openToLook(source.get(), "..", directoryFlags));
    if (sourceDir.get() < 0) fail(errno);
    destinationDir.reset(openat(destination.get(), "..", directoryFlags));
    if (destinationDir.get() < 0) fail(errno);
  }
}

void TreeCopier::copyFile(const Descriptor& source, int destinationDir, const char* destinationName,
                          const struct stat& st, bool noCow) {
  std::unique_lock<std::mutex> linked(shared_.linkedLock, std::defer_lock);
  if (st.st_nlink > 1) {
    linked.lock();
    if (linkToFirstCopy(st, destinationDir, destinationName)) return;
  }
  bool cloned = false;
  const Descriptor destination(
      createCopyFile(source.get(), destinationDir, destinationName, st.st_mode & 0777, cloned));
  if (destination.get() < 0) fail(errno);
  if (made_) *made_ = true;
  if (!cloned) cloned = fillCopy(source, destination, st, noCow);
  struct stat current;
  if (fstat(destination.get(), &current) != 0) fail(errno);
  finish(source.get(), destination.get(), st, &current);
  if (st.st_nlink > 1) rememberFirstCopy(st, cloned, current.st_size);
  made(EntryKind::file, current.st_size, st);
  fileFinished(cloned);
}

bool TreeCopier::fillCopy(const Descriptor& source, const Descriptor& destination, const struct stat& st, bool noCow) {
  if (shared_.lookBeforeCloning) matchNoCow(isNoCow(source.get()), destination.get(), noCow);
  int refused = cloneData(source.get(), destination.get());
  if (refused != 0 && !shared_.lookBeforeCloning) {
    // Btrfs refuses to clone between files of different attribute, so a
    // file unlike its directory is found here, its copy still empty.
    const bool sourceNoCow = isNoCow(source.get());
    if (sourceNoCow != noCow) {
      matchNoCow(sourceNoCow, destination.get(), noCow);
      if (refused == EINVAL) refused = cloneData(source.get(), destination.get());
    }
  }
  if (refused == 0) return true;
  if (!cloneRefused(refused)) fail(refused);
  requireCopySpace(destination.get(), st.st_size);
  if (const int error = copyData(source.get(), destination.get(), buffer_)) fail(error);
  return false;
}

bool TreeCopier::linkToFirstCopy(const struct stat& st, int destinationDir, const char* destinationName) {
  const int root = shared_.destinationRoot.get();
  if (root < 0) return false;
  const auto found = shared_.firstCopies.find({st.st_dev, st.st_ino});
  if (found == shared_.firstCopies.end()) return false;
  const std::string& first = found->second.path;
  const size_t slash = first.rfind('/');
  Descriptor directory(slash == std::string::npos ? -1
                                                  : openDirectoryBelow(root, std::string_view(first).substr(0, slash)));
  const int firstDir = slash == std::string::npos ? root : directory.get();
  const char* firstName = first.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  if (firstDir >= 0 && linkat(firstDir, firstName, destinationDir, destinationName, 0) == 0) {
    made(EntryKind::file, found->second.size, st);
    fileFinished(found->second.cloned);
    return true;
  }
  // Where no link can be made (the copy already has as many names as its
  // file system allows, or its folder was closed to us) the name gets a copy
  // of its own: its data is kept, only the link is lost.
  if (errno == EMLINK || errno == EACCES || errno == EPERM) return false;
  fail(errno);
}

void TreeCopier::rememberFirstCopy(const struct stat& st, bool cloned, int64_t size) {
  if (shared_.destinationRoot.get() < 0) return;
  shared_.firstCopies.try_emplace({st.st_dev, st.st_ino},
                                  FirstCopy{path_.substr(shared_.rootLength + 1), cloned, size});
}

void TreeCopier::made(EntryKind kind, int64_t size, const struct stat& st) {
  if (!shared_.onCopied || shared_.destinationRoot.get() < 0) return;
  timespec times[2];
  itemTimes(st, times);
  const std::lock_guard<std::mutex> guard(shared_.madeLock);
  (*shared_.onCopied)({std::string_view(path_).substr(shared_.rootLength + 1), kind, size, nanoseconds(times[1])});
}

bool TreeCopier::isNoCow(int fd) const {
  bool noCow = false;
  if (const int error = readNoCow(fd, noCow)) fail(error);
  return noCow;
}

void TreeCopier::matchNoCow(bool noCow, int destinationFd, bool destinationNoCow) {
  if (noCow == destinationNoCow) return;
  if (const int error = writeNoCow(destinationFd, noCow)) fail(error);
}

// A copy takes new space: it must leave the caller's reserve free, so that a
// big file refuses the save before it fills the disk.
void TreeCopier::requireCopySpace(int destinationFd, int64_t bytes) const {
  if (!shared_.context.copyReserveBytes) return;
  const int64_t needed = *shared_.context.copyReserveBytes + bytes;
  const int64_t available = availableSpace(destinationFd);
  if (available < needed) throw FsError::notEnoughSpace(needed, available);
}

void TreeCopier::copyLink(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                          const struct stat& st) {
  // A link's size is its target's length, unless the file system reports 0.
  buffer_.resize(std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 256));
  for (;;) {
    const ssize_t n = readlinkat(sourceDir, sourceName, buffer_.data(), buffer_.size());
    if (n < 0 && errno == ENOENT) return;  // removed since it was listed
    if (n < 0 && errno == EINVAL) replaced();
    if (n < 0) fail(errno);
    if (static_cast<size_t>(n) < buffer_.size()) {
      buffer_[static_cast<size_t>(n)] = '\0';
      break;
    }
    buffer_.resize(buffer_.size() * 2);
  }
  if (symlinkat(buffer_.data(), destinationDir, destinationName) != 0) fail(errno);
  if (made_) *made_ = true;
  if (fchownat(destinationDir, destinationName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 && errno != EPERM)
    fail(errno);
  if (const int error = attributes_.copyLinks(sourceDir, sourceName, destinationDir, destinationName)) {
    if (error == ESTALE) replaced();
    fail(error);
  }
  timespec times[2];
  itemTimes(st, times);
  if (utimensat(destinationDir, destinationName, times, AT_SYMLINK_NOFOLLOW) != 0) fail(errno);
  made(EntryKind::symlink, 0, st);
  ++shared_.links;
}

void TreeCopier::finish(int sourceFd, int destinationFd, const struct stat& st, const struct stat* current) {
  bool owned = current && current->st_uid == st.st_uid && current->st_gid == st.st_gid;
  if (!owned) {
    if (fchown(destinationFd, st.st_uid, st.st_gid) == 0)
      owned = true;
    else if (errno != EPERM)
      fail(errno);
  }
  if (const int error = attributes_.copy(sourceFd, destinationFd)) fail(error);
  // A copy that could not keep its owner must not run as whoever made it.
  const mode_t mode = st.st_mode & (owned ? 07777 : 01777);
  // Neither chown (the file was made without set-id bits) nor an access ACL
  // just copied (it holds the source's own bits) moves what was read here.
  const bool permitted = current && (current->st_mode & 07777) == mode;
  if (!permitted && fchmod(destinationFd, mode) != 0) fail(errno);
  timespec times[2];
  itemTimes(st, times);
  if (futimens(destinationFd, times) != 0) fail(errno);
}

void TreeCopier::fileFinished(bool cloned) {
  const int64_t files = ++shared_.files;
  if (cloned) ++shared_.cloned;
  const CloneContext& context = shared_.context;
  if (context.control) context.control->report({OperationProgress::Phase::copying, files, context.total});
}

}  // namespace

namespace {

CloneContext cloneDirectoryInto(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                                const std::string& destinationName, std::optional<int64_t> total,
                                OperationControl* control, std::optional<int64_t> copyReserveBytes, bool asSubvolume,
                                const CopiedItemVisitor* onCopied = nullptr) {
  CloneContext context;
  context.total = total;
  context.control = control;
  context.copyReserveBytes = copyReserveBytes;
  SharedCopy shared(context, copyThreads(total, destinationParent.fd()), onCopied);
  TreeCopier copier(shared, source.path());
  copier.stopIfCancelled();
  // A description of its own, so that listing it moves no offset the
  // caller's descriptor shares.
  Descriptor sourceFd(openToLook(source.fd(), ".", directoryFlags));
  if (sourceFd.get() < 0) copier.fail(errno);
  struct stat st;
  if (fstat(sourceFd.get(), &st) != 0) copier.fail(errno);
  if (asSubvolume) {
    if (const int code = createSubvolume(destinationParent.fd(), destinationName); code != 0) copier.fail(code);
  } else if (mkdirat(destinationParent.fd(), destinationName.c_str(), workingMode) != 0) {
    // The place of the copy is at fault, not what is copied.
    const int code = errno;
    if (code == EACCES || code == EPERM) throw FsError::notAllowedToWrite(destinationParent.path(), code);
    copier.fail(code);
  }

  DestinationGuard guard(destinationParent.fd(), destinationName, joinPath(destinationParent.path(), destinationName));
  Descriptor destinationFd(openat(destinationParent.fd(), destinationName.c_str(), directoryFlags));
  if (destinationFd.get() < 0) copier.fail(errno);
  // A new subvolume is open to everyone until its copy is finished.
  if (asSubvolume && fchmod(destinationFd.get(), workingMode) != 0) copier.fail(errno);
  copier.copyRoot(sourceFd, st, destinationFd, copier.isNoCow(destinationParent.fd()));
  guard.commit();
  shared.publish();
  return context;
}

}  // namespace

CloneContext cloneDirectory(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                            const std::string& destinationName, std::optional<int64_t> total, OperationControl* control,
                            std::optional<int64_t> copyReserveBytes, const CopiedItemVisitor* onCopied) {
  return cloneDirectoryInto(source, destinationParent, destinationName, total, control, copyReserveBytes, false,
                            onCopied);
}

CloneContext cloneDirectoryAsSubvolume(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                                       const std::string& destinationName, std::optional<int64_t> total,
                                       OperationControl* control) {
  return cloneDirectoryInto(source, destinationParent, destinationName, total, control, std::nullopt, true);
}

void copyDirectoryAttributes(const DirectoryHandle& source, const DirectoryHandle& destination) {
  CloneContext context;
  SharedCopy shared(context, 1);
  TreeCopier copier(shared, source.path());
  struct stat st;
  if (fstat(source.fd(), &st) != 0) copier.fail(errno);
  copier.carryNoCow(source.fd(), destination.fd());
  copier.finish(source.fd(), destination.fd(), st);
}

CloneContext cloneEntry(const DirectoryHandle& sourceParent, const std::string& name,
                        const DirectoryHandle& destinationParent, const std::string& destinationName,
                        std::optional<int64_t> total, OperationControl* control) {
  CloneContext context;
  context.total = total;
  context.control = control;
  SharedCopy shared(context, 1);
  TreeCopier copier(shared, joinPath(sourceParent.path(), name));
  copier.stopIfCancelled();
  struct stat st;
  if (fstatat(sourceParent.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) copier.fail(errno);
  if (S_ISDIR(st.st_mode)) {
    FsResult<DirectoryHandle> source = sourceParent.child(name);
    if (!source && (source.code() == ELOOP || source.code() == ENOTDIR)) copier.replaced();
    if (!source) copier.fail(source.code());
    return cloneDirectory(*source, destinationParent, destinationName, total, control);
  }
  // Whatever held the name before (the copy refuses to replace it) is not the guard's to remove.
  bool made = false;
  DestinationGuard guard(destinationParent.fd(), destinationName, joinPath(destinationParent.path(), destinationName),
                         &made);
  copier.copySingle(sourceParent.fd(), name.c_str(), destinationParent.fd(), destinationName.c_str(), st, made);
  guard.commit();
  shared.publish();
  return context;
}

}  // namespace redomark
