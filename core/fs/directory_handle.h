// An open directory of the store that was reached without following a
// symbolic link at its own name, so that a link planted in the store cannot
// lead a listing, a read, a rename or a removal somewhere else. Owns its
// descriptor; not shared between threads.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace redomark {

class DirectoryHandle {
 public:
  // Nothing when path is missing, unreadable, not a directory or a symbolic link.
  static std::optional<DirectoryHandle> open(const std::string& path);

  DirectoryHandle(DirectoryHandle&& other) noexcept;
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle();

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

  // The subdirectory name, under the same rules as open.
  std::optional<DirectoryHandle> child(const std::string& name) const;
  // Names without "." and ".."; nothing when the directory cannot be listed.
  std::optional<std::vector<std::string>> names() const;
  // The whole regular file name (a link there is not followed); nothing when
  // it cannot be read.
  std::optional<std::string> readFile(const std::string& name) const;
  // The same file handed to piece in the order read, a block at a time; false
  // when it cannot be opened or read (some pieces may have been handed over).
  // Whatever piece throws is passed on.
  bool readFile(const std::string& name, const std::function<void(std::string_view)>& piece) const;
  // Renames an entry within this directory. Throws std::system_error.
  void rename(const std::string& from, const std::string& to) const;
  // Removes the entry name and everything below it, following no link. Throws
  // std::system_error.
  void removeTree(const std::string& name) const;

 private:
  DirectoryHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_;  // -1 once moved from
  std::string path_;
};

}  // namespace redomark
