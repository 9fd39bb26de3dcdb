#include "core/fs/output_file.h"

#include <unistd.h>

#include <cerrno>

#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"

namespace redomark {

OutputFile::OutputFile(const DirectoryHandle& directory, const std::string& name, mode_t mode)
    : path_(joinPath(directory.path(), name)), fd_(directory.createFile(name, mode)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write(std::string_view bytes) {
  if (const int error = writeAll(fd_, bytes))
    throw FsError(error, FsOperation::write, path_);
}

void OutputFile::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throwErrno(FsOperation::write, path_);
}

}  // namespace redomark
