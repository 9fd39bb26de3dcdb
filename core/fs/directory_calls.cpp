#include "core/fs/directory_calls.h"

#include <limits.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/file_descriptor.h"

namespace redomark {

namespace {

// A directory passed through on the way needs only to be searchable.
constexpr int passingFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The kernel copies at most PATH_MAX bytes of a path, its terminator included.
constexpr size_t onePieceBytes = PATH_MAX - 1;

int openWithResolve(int startFd, const std::string& path, int flags, uint64_t resolve) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, startFd, path.c_str(), &how, sizeof how));
}

}  // namespace

int openWithoutLinks(int startFd, std::string_view path, int flags, bool sameMount) {
  uint64_t resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  if (sameMount) resolve |= RESOLVE_NO_XDEV;
  if (!path.starts_with('/')) resolve |= RESOLVE_BENEATH;
  int at = startFd;
  for (;;) {
    const bool whole = path.size() <= onePieceBytes;
    // Names are far shorter than a piece, so a piece always ends at a "/".
    const size_t end = whole ? path.size() : path.rfind('/', onePieceBytes);
    const std::string piece(path.substr(0, end == 0 ? 1 : end));
    const int pieceFlags = whole ? flags : passingFlags;
    int next = openWithResolve(at, piece, pieceFlags, resolve);
    if (next < 0 && errno == ENOSYS) next = openByComponents(at, piece, pieceFlags, passingFlags, sameMount);
    const int saved = errno;
    if (at != startFd) close(at);
    errno = saved;
    if (whole || next < 0) return next;
    at = next;
    path.remove_prefix(end + 1);
    resolve |= RESOLVE_BENEATH;  // the rest lies below the piece just opened
  }
}

int openToExamine(const std::string& absolutePath) {
  if (!absolutePath.starts_with('/')) {
    errno = EINVAL;
    return -1;
  }
  return openWithoutLinks(AT_FDCWD, absolutePath, O_PATH | O_NOFOLLOW | O_CLOEXEC, false);
}

FsResult<ItemStatus> examine(const std::string& absolutePath) {
  const FileDescriptor fd(openToExamine(absolutePath));
  std::optional<ItemStatus> facts = fd.get() < 0 ? std::nullopt : itemStatusAt(fd.get(), "");
  if (!facts) return FsError(errno, FsOperation::examine, absolutePath);
  return *facts;
}

int commitFile(int fd) { return fsync(fd); }

int commitFileSystem(int fd) { return syncfs(fd); }

int renameWithoutReplacing(int fromFd, const char* from, int toFd, const char* to) {
  if (renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno == EINVAL) errno = ENOTSUP;  // what a file system without the flag says
  return -1;
}

int exchangeEntries(int directoryFd, const char* a, const char* b) {
  return renameat2(directoryFd, a, directoryFd, b, RENAME_EXCHANGE);
}

}  // namespace redomark
