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

// True when something exists at path; followLinks false examines a final link itself.
bool pathExists(const std::string& path, bool followLinks = true);
// True when path (links followed) is a directory.
bool isDirectory(const std::string& path);
// True when path itself (not followed) is a symbolic link.
bool isSymlink(const std::string& path);

// Creates path and its missing parents; new directories get mode. Throws.
void createDirectories(const std::string& path, mode_t mode = 0777);
// Names in a directory, without "." and ".."; nothing when it cannot be listed.
std::optional<std::vector<std::string>> listNames(const std::string& path);
// rename(2). Throws.
void moveItem(const std::string& from, const std::string& to);
// Removes path and, for a directory, everything below it; never follows links. Throws.
void removeTree(const std::string& path);
// Removes the entry name of the open directory dirFd as removeTree does; path
// names it in errors. Throws.
void removeTreeAt(int dirFd, const std::string& name, const std::string& path);
// Whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);
// The same, with the errno of the failure in error when there is nothing.
std::optional<std::string> readWholeFile(const std::string& path, int& error);
// Creates or truncates path and writes bytes with plain writes. Throws.
void writeWholeFile(const std::string& path, const std::string& bytes, mode_t mode = 0666);

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
// Last component of path.
std::string lastComponent(const std::string& path);
// a + "/" + b, without doubling a trailing "/" of a.
std::string joinPath(const std::string& a, const std::string& b);

}  // namespace redomark
