#include "tests/path_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "core/fs/private_space.h"
#include "core/fs/tree_removal.h"
#include "core/fs/volume.h"
#include "core/records/redomark_error.h"

namespace redomark {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

}  // namespace

bool pathExists(const std::string& path, bool followLinks) {
  struct stat st;
  return (followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> readWholeFile(const std::string& path) {
  int ignored = 0;
  return readWholeFile(path, ignored);
}

std::optional<std::string> readWholeFile(const std::string& path, int& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = errno;
      close(fd);
      if (n < 0) return std::nullopt;
      return out;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<int64_t> privateSize(const std::string& path) {
  const std::optional<FileSpace> space = fileSpaceAt(AT_FDCWD, path.c_str());
  if (!space) return std::nullopt;
  return space->privateBytes;
}

int64_t privateSpaceBelow(const std::string& path) {
  const std::optional<DirectoryHandle> directory = DirectoryHandle::open(path);
  return directory ? spaceBelow(*directory).privateBytes : 0;
}

void walk(const std::string& path, const OperationControl* control, const WalkVisitor& visit, WalkPace pace) {
  const std::optional<DirectoryHandle> directory = DirectoryHandle::open(path);
  if (!directory) {
    if (errno == ENOENT || errno == ENOTDIR) return;
    if (errno == ELOOP) throw RedomarkError::pathChanged(path);
    throw RedomarkError::io("Couldn't read " + path + ": " + std::strerror(errno));
  }
  walk(*directory, control, visit, pace);
}

bool isSymlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void createDirectories(const std::string& path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return;
  const std::string parent = parentPath(path);
  if (parent != path) createDirectories(parent, mode);
  if (mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && isDirectory(path))) fail("Couldn't create", path);
  // mkdir's mode passes through the umask; tests of the store need exact permissions.
  if (mode != 0777) chmod(path.c_str(), mode);
}

std::optional<std::vector<std::string>> listNames(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    names.emplace_back(n);
  }
  closedir(dir);
  return names;
}

void moveItem(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) fail("Couldn't move", from);
}

void removeTree(const std::string& path) { removeTreeAt(AT_FDCWD, path, path); }

void writeWholeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) fail("Couldn't write", path);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      close(fd);
      throw std::system_error(code, std::generic_category(), "Couldn't write " + path);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) fail("Couldn't write", path);
}

}  // namespace redomark
