#include "core/fs/file_data_copy.h"

#include <copyfile.h>

#include <cerrno>

namespace redomark {

// APFS shares blocks only with a file made as a clone (fclonefileat), never
// with one that already exists; the clone engine makes its clones so, and an
// existing file can only be filled by copying.
int cloneData(int, int) { return ENOTSUP; }

bool cloneRefused(int error) { return error == ENOTSUP || error == EXDEV || error == EINVAL; }

// copyfile's own loop, which reads and writes in the volume's block size.
int copyData(int sourceFd, int destinationFd, std::vector<char>&) {
  return fcopyfile(sourceFd, destinationFd, nullptr, COPYFILE_DATA) == 0 ? 0 : errno;
}

}  // namespace redomark
