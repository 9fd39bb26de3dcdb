// A new file written piece by piece through an open directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "core/fs/directory_handle.h"

namespace redomark {

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

}  // namespace redomark
