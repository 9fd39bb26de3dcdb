#include "core/fs/file_ops.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "core/fs/subvolume.h"

namespace redomark {

namespace {

[[noreturn]] void throwErrno(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

// A subvolume (a snapshot checkpoint's saved tree, say) goes in one call where
// the process may; otherwise, read-only as a snapshot is, it must become
// writable before its entries can go, and it is then removed like a directory.
// True when it is gone.
bool removedAsSubvolume(int parentFd, const char* name, int fd) {
  if (!isSubvolume(fd)) return false;
  if (destroySubvolume(parentFd, name) == 0) return true;
  makeSubvolumeWritable(fd);
  return false;
}

// Removes everything below the open directory fd, then closes it.
void removeContents(int dirFd, const std::string& path) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    throwErrno("Couldn't list", path);
  }
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(dirFd, e->d_name, 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      closedir(dir);
      throwErrno("Couldn't remove", path + "/" + name);
    }
    int child = openat(dirFd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      closedir(dir);
      throwErrno("Couldn't open", path + "/" + name);
    }
    if (removedAsSubvolume(dirFd, e->d_name, child)) {
      close(child);
      continue;
    }
    // A read-only directory cannot lose its entries until it is writable again.
    fchmod(child, 0700);
    try {
      removeContents(child, path + "/" + name);
    } catch (...) {
      closedir(dir);
      throw;
    }
    if (unlinkat(dirFd, e->d_name, AT_REMOVEDIR) != 0) {
      closedir(dir);
      throwErrno("Couldn't remove", path + "/" + name);
    }
  }
  closedir(dir);
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

void removeTreeAt(int dirFd, const std::string& name, const std::string& path) {
  if (unlinkat(dirFd, name.c_str(), 0) == 0) return;
  if (errno == ENOENT) throwErrno("Couldn't remove", path);
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throwErrno("Couldn't remove", path);
  if (removedAsSubvolume(dirFd, name.c_str(), fd)) {
    close(fd);
    return;
  }
  fchmod(fd, 0700);
  removeContents(fd, path);
  if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) throwErrno("Couldn't remove", path);
}

std::optional<std::string> readWholeFile(const std::string& path) {
  int ignored = 0;
  return readWholeFile(path, ignored);
}

std::optional<std::string> readWholeFile(const std::string& path, int& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

OutputFile::OutputFile(const DirectoryHandle& directory, const std::string& name, mode_t mode)
    : path_(joinPath(directory.path(), name)), fd_(directory.createFile(name, mode)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("Couldn't write", path_);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void OutputFile::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throwErrno("Couldn't write", path_);
}

std::string homeDirectory() {
  // A HOME kept across sudo names someone else's home: root must not keep
  // its store or read its settings there.
  struct stat st;
  const char* home = std::getenv("HOME");
  if (home && *home && stat(home, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) return home;
  if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string parentPath(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return path.substr(0, end);
  return path.substr(slash + 1, end - slash - 1);
}

std::string joinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

}  // namespace redomark
