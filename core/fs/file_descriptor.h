// Owns one open descriptor and closes it when it goes out of scope, and the
// descriptor chores every walk and writer shares.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace redomark {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Writes all of bytes to fd, retrying short and interrupted writes. 0, or the
// errno of the failed write.
int writeAll(int fd, std::string_view bytes);

// How many directory levels a deep walk or copy keeps open at once: an eighth
// of the process's descriptor limit, between 4 and 128.
size_t openLevelBudget();

}  // namespace redomark
