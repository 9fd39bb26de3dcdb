#include "tests/engine_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <stdexcept>

#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"
#include "tests/path_helpers.h"

namespace redomark::testing {

TemporaryHome::TemporaryHome(Volume volume) : scratch_(volume) {
  if (const char* home = std::getenv("HOME")) previous_ = home;
  setenv("HOME", scratch_.path().c_str(), 1);
}

TemporaryHome::~TemporaryHome() {
  if (previous_)
    setenv("HOME", previous_->c_str(), 1);
  else
    unsetenv("HOME");
}

void createDirectories(const std::string& path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return;
  if (parentPath(path) != path) createDirectories(parentPath(path), mode);
  if (mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && isDirectory(path)))
    throw std::runtime_error("cannot create " + path);
  // mkdir's mode passes through the umask; tests of the store need exact permissions.
  if (mode != 0777) chmod(path.c_str(), mode);
}

void removeTree(const std::string& path) { removeTreeAt(AT_FDCWD, path, path); }

bool isSymlink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void writeFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string uniqueBytes(size_t length, uint32_t seed) {
  std::string out(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<char>(seed >> 16);
  }
  return out;
}

struct stat statusOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("cannot create " + path);
}

int64_t mtimeNs(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
}

void setMtimeNs(const std::string& path, int64_t ns) {
  // Floored, so that times before 1970 keep their nanoseconds in range.
  const int64_t seconds = ns / 1'000'000'000 - (ns % 1'000'000'000 < 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, ns - seconds * 1'000'000'000}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

mode_t permissions(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void setInodeFlags(const std::string& path, int flags, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int current = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
  current = on ? current | flags : current & ~flags;
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("cannot set the inode flags of " + path);
}

std::optional<std::vector<std::string>> listNames(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir))
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") names.emplace_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> sortedNames(const std::string& directory) { return listNames(directory).value_or(std::vector<std::string>{}); }

std::string asUser(uid_t uid, const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child == 0) {
    std::string result = "could not change user";
    if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0) result = body();
    _exit(write(channel[1], result.data(), result.size()) < 0);
  }
  close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}

std::string outputOf(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (pipe) pclose(pipe);
  return out;
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir)) count += e->d_name[0] != '.';
  closedir(dir);
  return count;
}

CloneContext cloneTree(const std::string& source, const std::string& destination, std::optional<int64_t> total,
                       OperationControl* control) {
  const FsResult<DirectoryHandle> from = DirectoryHandle::open(parentPath(source));
  const FsResult<DirectoryHandle> to = DirectoryHandle::open(parentPath(destination));
  if (!from || !to) throw std::runtime_error("no parent for " + source + " or " + destination);
  return cloneEntry(*from, lastComponent(source), *to, lastComponent(destination), total, control);
}

}  // namespace redomark::testing
