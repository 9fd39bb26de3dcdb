#include "core/fs/directory_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/fs/file_ops.h"

namespace redomark {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

constexpr size_t readBlockBytes = 64 * 1024;

bool readAll(int fd, const std::function<void(std::string_view)>& piece) {
  std::vector<char> buffer(readBlockBytes);
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    piece(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

}  // namespace

std::optional<DirectoryHandle> DirectoryHandle::open(const std::string& path) {
  const int fd = ::open(path.c_str(), directoryFlags);
  if (fd < 0) return std::nullopt;
  return DirectoryHandle(fd, path);
}

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

DirectoryHandle::~DirectoryHandle() {
  if (fd_ >= 0) close(fd_);
}

std::optional<DirectoryHandle> DirectoryHandle::child(const std::string& name) const {
  const int fd = openat(fd_, name.c_str(), directoryFlags);
  if (fd < 0) return std::nullopt;
  return DirectoryHandle(fd, joinPath(path_, name));
}

std::optional<std::vector<std::string>> DirectoryHandle::names() const {
  // fdopendir takes the descriptor it is given; a duplicate keeps ours open.
  const int copy = dup(fd_);
  if (copy < 0) return std::nullopt;
  DIR* dir = fdopendir(copy);
  if (!dir) {
    close(copy);
    return std::nullopt;
  }
  rewinddir(dir);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    names.emplace_back(n);
  }
  const bool failed = errno != 0;
  closedir(dir);
  if (failed) return std::nullopt;
  return names;
}

std::optional<std::string> DirectoryHandle::readFile(const std::string& name) const {
  std::string bytes;
  if (!readFile(name, [&](std::string_view piece) { bytes.append(piece); })) return std::nullopt;
  return bytes;
}

bool DirectoryHandle::readFile(const std::string& name, const std::function<void(std::string_view)>& piece) const {
  const int fd = openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  return readAll(fd, piece);
}

void DirectoryHandle::rename(const std::string& from, const std::string& to) const {
  if (renameat(fd_, from.c_str(), fd_, to.c_str()) != 0)
    throw std::system_error(errno, std::generic_category(), "Couldn't move " + joinPath(path_, from));
}

void DirectoryHandle::removeTree(const std::string& name) const {
  removeTreeAt(fd_, name, joinPath(path_, name));
}

}  // namespace redomark
