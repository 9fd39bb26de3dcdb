#include "tests/path_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <system_error>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "core/fs/private_space.h"
#include "core/fs/tree_removal.h"
#include "core/fs/volume.h"
#include "core/records/redomark_error.h"

namespace redomark {
bool pathExists(const std::string& path, bool followLinks) {
  struct stat st;
  return (followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> readWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) out.append(buffer, std::max<ssize_t>(n, 0));
  close(fd);
  if (n < 0) return std::nullopt;
  return out;
}

std::optional<int64_t> privateSize(const std::string& path) {
  const std::optional<FileSpace> space = fileSpaceAt(AT_FDCWD, path.c_str());
  if (!space) return std::nullopt;
  return space->privateBytes;
}

int64_t privateSpaceBelow(const std::string& path) {
  const FsResult<DirectoryHandle> directory = DirectoryHandle::open(path);
  return directory ? spaceBelow(*directory).privateBytes : 0;
}

void walk(const std::string& path, const OperationControl* control, const WalkVisitor& visit, WalkPace pace) {
  const FsResult<DirectoryHandle> directory = DirectoryHandle::open(path);
  if (!directory) {
    if (directory.code() == ENOENT || directory.code() == ENOTDIR) return;
    if (directory.code() == ELOOP) throw RedomarkError::pathChanged(path);
    throw FsError(directory.code(), FsOperation::read, path);
  }
  walk(*directory, control, visit, pace);
}

}  // namespace redomark
