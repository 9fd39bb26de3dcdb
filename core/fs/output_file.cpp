#include "core/fs/output_file.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/fs/file_descriptor.h"
#include "core/fs/path_text.h"

namespace redomark {

OutputFile::OutputFile(const DirectoryHandle& directory, const std::string& name, mode_t mode)
    : path_(joinPath(directory.path(), name)), fd_(directory.createFile(name, mode)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write(std::string_view bytes) {
  if (const int error = writeAll(fd_, bytes))
    throw std::system_error(error, std::generic_category(), "Couldn't write " + path_);
}

void OutputFile::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "Couldn't write " + path_);
}

}  // namespace redomark
