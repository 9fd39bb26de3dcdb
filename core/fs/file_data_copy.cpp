#include "core/fs/file_data_copy.h"

#include "core/fs/file_descriptor.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

namespace redomark {

namespace {

constexpr size_t copyChunkBytes = 1 << 20;
constexpr size_t bufferBytes = 256 * 1024;

// The answers of a file system (or a pair of them) that cannot do this kind
// of copy at all, as opposed to one that failed while trying.
bool isUnsupported(int error) { return error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOSYS; }

int copyByReading(int sourceFd, int destinationFd, std::vector<char>& buffer) {
  if (buffer.size() < bufferBytes) buffer.resize(bufferBytes);
  for (;;) {
    const ssize_t n = read(sourceFd, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const std::string_view piece(buffer.data(), static_cast<size_t>(n));
    if (const int error = writeAll(destinationFd, piece)) return error;
  }
}

}  // namespace

// copy_file_range moves the bytes inside the kernel; where it cannot, the
// rest of the file (from the offsets it reached) goes through the buffer.
int copyData(int sourceFd, int destinationFd, std::vector<char>& buffer) {
  for (;;) {
    const ssize_t n = copy_file_range(sourceFd, nullptr, destinationFd, nullptr, copyChunkBytes, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (isUnsupported(errno)) return copyByReading(sourceFd, destinationFd, buffer);
    return errno;
  }
}

int cloneData(int sourceFd, int destinationFd) { return ioctl(destinationFd, FICLONE, sourceFd) == 0 ? 0 : errno; }

bool cloneRefused(int error) { return isUnsupported(error); }

}  // namespace redomark
