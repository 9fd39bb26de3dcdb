#include "tests/path_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/fs/file_ops.h"

namespace redomark {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

}  // namespace

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
