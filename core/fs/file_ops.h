// The plain file operations the store and the operations need: the one place
// besides the other fs/ files where the core touches the file system.
// Failures that are passed on unchanged are std::system_error with the path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "core/fs/directory_handle.h"

namespace redomark {

// Removes the entry name of the open directory dirFd and, for a directory,
// everything below it; never follows links; path names it in errors. Throws.
void removeTreeAt(int dirFd, const std::string& name, const std::string& path);

// A new file of an open directory (it must not exist; no link is followed),
// written piece by piece with plain writes; the caller does the buffering.
// Every call throws on failure.
class OutputFile {
 public:
  OutputFile(const DirectoryHandle& directory, const std::string& name, mode_t mode);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::string_view bytes);
  void close();

 private:
  std::string path_;
  int fd_;
};

// $HOME when it is set, not empty and a directory the effective user owns,
// else the password database's home of the effective user.
std::string homeDirectory();

// Path without its last component ("/" for "/x", "/" for "/").
std::string parentPath(const std::string& path);
// A relative path's parent: "" for a single component.
std::string relativeParent(const std::string& relativePath);
// Last component of path.
std::string lastComponent(const std::string& path);
// a + "/" + b, without doubling a trailing "/" of a.
std::string joinPath(const std::string& a, const std::string& b);

}  // namespace redomark
