// A small file and a directory of the user's, through a directory handle:
// the same on every system, as they need nothing beyond POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/fs/file_descriptor.h"
#include "core/fs/path_text.h"

namespace redomark {

FsResult<std::string> DirectoryHandle::readOwnFile(const std::string& name, size_t maxBytes) const {
  const auto failed = [&](int error) { return FsError(error, FsOperation::read, joinPath(path_, name)); };
  const FileDescriptor fd(openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return failed(errno == ELOOP ? EPERM : errno);
  const std::optional<ItemStatus> facts = itemStatusAt(fd.get(), "");
  if (!facts || facts->kind != EntryKind::file || facts->owner != geteuid()) return failed(EPERM);
  if (static_cast<size_t>(facts->size) > maxBytes) return failed(EFBIG);
  // Bounded all the same: the file may have grown since its status.
  std::string bytes;
  std::vector<char> buffer(maxBytes + 1);
  for (;;) {
    const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) return bytes;
    bytes.append(buffer.data(), static_cast<size_t>(n));
    if (bytes.size() > maxBytes) return failed(EFBIG);
  }
}

FsResult<DirectoryHandle> DirectoryHandle::ownDirectory(const std::string& name, bool exactly0700) const {
  if (const FsStatus made = makeDirectoryIfMissing(name, 0700); !made) return made.error();
  FsResult<DirectoryHandle> directory = child(name);
  if (!directory) return directory;
  const ItemStatus facts = directory->ownStatus();
  if (facts.owner != geteuid() || (exactly0700 && (facts.mode & 0777) != 0700))
    return FsError(EACCES, FsOperation::open, directory->path());
  return directory;
}

}  // namespace redomark
