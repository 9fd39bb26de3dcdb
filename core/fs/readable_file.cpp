#include "core/fs/readable_file.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/open_to_look.h"
#include "core/fs/path_text.h"

namespace redomark {

namespace {

constexpr size_t readBlockBytes = 64 * 1024;
// Debian's diffutils, whose output is the format promised; not whatever
// "diff" comes first in the user's PATH.
constexpr const char* diffProgram = "/usr/bin/diff";
// Where the child finds the two files: descriptors it inherits, reopened
// through its own descriptor table rather than any name in a folder.
constexpr int beforeChildFd = 3;
constexpr int afterChildFd = 4;
// Both systems name a process's own descriptors; /dev/fd is Linux's too, but
// there it is a link into /proc.
#ifdef __APPLE__
constexpr const char* ownDescriptors = "/dev/fd/";
#else
constexpr const char* ownDescriptors = "/proc/self/fd/";
#endif

// A pipe whose ends are closed when it goes out of scope.
struct Pipe {
  int ends[2] = {-1, -1};
  Pipe() {
    if (pipe(ends) != 0) throwErrno(FsOperation::run, "diff");
    // Neither end may leak into the child but as the descriptor it is given.
    for (const int end : ends) fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  ~Pipe() {
    for (int& end : ends) closeEnd(end);
  }
  static void closeEnd(int& end) {
    if (end >= 0) close(end);
    end = -1;
  }
};

// Reads both pipes to their ends, whichever the child writes first, so that
// neither fills up while the other is waited on.
void drain(int outFd, int errFd, std::string& out, std::string& err) {
  std::vector<char> buffer(readBlockBytes);
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* into[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throwErrno(FsOperation::read, "diff's output");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else {
        into[i]->append(buffer.data(), static_cast<size_t>(n));
      }
    }
  }
}

}  // namespace

FsResult<ReadableFile> ReadableFile::open(const DirectoryHandle& directory, const std::string& name) {
  std::string path = joinPath(directory.path(), name);
  const int fd = openToLook(directory.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return FsError(errno, FsOperation::open, path);
  struct stat facts {};
  if (fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
    close(fd);
    return FsError(EINVAL, FsOperation::open, path);
  }
  return ReadableFile(fd, std::move(path));
}

void ReadableFile::read(const std::function<void(std::string_view)>& piece) const {
  std::vector<char> buffer(readBlockBytes);
  // By offset, so that reading again starts from the beginning again.
  for (off_t offset = 0;;) {
    const ssize_t n = pread(fd_.get(), buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwErrno(FsOperation::read, path_);
    if (n == 0) return;
    offset += n;
    piece(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

FsResult<std::string> linkTarget(const DirectoryHandle& directory, const std::string& name) {
  for (size_t size = 256;; size *= 2) {
    std::string target(size, '\0');
    const ssize_t n = readlinkat(directory.fd(), name.c_str(), target.data(), size);
    if (n < 0) return FsError(errno, FsOperation::read, joinPath(directory.path(), name));
    if (static_cast<size_t>(n) < size) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
  }
}

std::string unifiedDiff(const ReadableFile* before, const std::string& beforeLabel, const ReadableFile* after,
                        const std::string& afterLabel) {
  const std::string beforePath = before ? ownDescriptors + std::to_string(beforeChildFd) : "/dev/null";
  const std::string afterPath = after ? ownDescriptors + std::to_string(afterChildFd) : "/dev/null";
  std::vector<std::string> words{diffProgram, "-u", "--label", beforeLabel, "--label", afterLabel,
                                 beforePath, afterPath};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Its messages, "Binary files … differ" among them, in the untranslated form.
  char locale[] = "LC_ALL=C";
  char* environment[] = {locale, nullptr};

  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.ends[1], 2);
  // Duplicated above the child's numbers first, so that moving one into
  // place can never overwrite the other.
  const FileDescriptor beforeCopy(before ? fcntl(before->fd(), F_DUPFD_CLOEXEC, 10) : -1);
  const FileDescriptor afterCopy(after ? fcntl(after->fd(), F_DUPFD_CLOEXEC, 10) : -1);
  if ((before && beforeCopy.get() < 0) || (after && afterCopy.get() < 0)) {
    posix_spawn_file_actions_destroy(&actions);
    throwErrno(FsOperation::run, "diff");
  }
  if (before) posix_spawn_file_actions_adddup2(&actions, beforeCopy.get(), beforeChildFd);
  if (after) posix_spawn_file_actions_adddup2(&actions, afterCopy.get(), afterChildFd);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, diffProgram, &actions, nullptr, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw FsError(spawned, FsOperation::run, diffProgram);
  Pipe::closeEnd(out.ends[1]);
  Pipe::closeEnd(err.ends[1]);
  std::string text, message;
  try {
    drain(out.ends[0], err.ends[0], text, message);
  } catch (...) {
    waitpid(child, nullptr, 0);
    throw;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // 0: the same bytes, 1: a difference; anything else is trouble.
  if (WIFEXITED(status) && WEXITSTATUS(status) <= 1) return text;
  while (!message.empty() && message.back() == '\n') message.pop_back();
  if (const size_t line = message.find('\n'); line != std::string::npos) message.resize(line);
  throw FsError(0, FsOperation::compare, afterLabel, message.empty() ? "diff failed" : message);
}

}  // namespace redomark
