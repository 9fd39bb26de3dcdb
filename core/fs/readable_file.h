// Reading what a checkpoint saved without changing or following anything: a
// regular file opened for reading only, and a link's target, each reached
// from a held directory by its name alone.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/fs/directory_handle.h"
#include "core/fs/file_descriptor.h"

namespace redomark {

// A regular file held open for reading. Once open it reads whole, whatever
// happens to its name meanwhile. Owns its descriptor.
class ReadableFile {
 public:
  // The regular file name of directory, a link there not followed; else the
  // FsError (FsOperation::open; EINVAL when it isn't a regular file).
  static FsResult<ReadableFile> open(const DirectoryHandle& directory, const std::string& name);

  int fd() const { return fd_.get(); }
  // Hands the bytes from the start to piece, a block at a time; throws
  // FsError naming path when a read fails, and passes on what
  // piece throws.
  void read(const std::function<void(std::string_view)>& piece) const;

 private:
  ReadableFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  FileDescriptor fd_;  // -1 once moved from
  std::string path_;
};

// The target of the link name in directory; the FsError (FsOperation::read)
// when it isn't a link or can't be read. Targets of any length.
FsResult<std::string> linkTarget(const DirectoryHandle& directory, const std::string& name);

// The unified difference from before to after (an absent side is an empty
// file) exactly as GNU diffutils' "diff -u --label beforeLabel --label
// afterLabel" prints it: empty when the bytes are equal, one line for binary
// files. The files are handed to diff as descriptors, never by a path.
// Throws FsError when diff can't be run or reports trouble.
std::string unifiedDiff(const ReadableFile* before, const std::string& beforeLabel, const ReadableFile* after,
                        const std::string& afterLabel);

}  // namespace redomark
