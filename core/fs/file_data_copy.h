// Fills a new, empty regular file with another file's bytes: by sharing the
// source's data blocks where the file system can clone, else by copying them.
// The buffer is the caller's, so one copier thread reuses one buffer.
#pragma once

#include <vector>

namespace redomark {

struct DataCopyResult {
  int error = 0;        // errno of the failed call, else 0
  bool cloned = false;  // the destination shares the source's blocks
};

// Both descriptors are at offset 0; the destination is open for writing.
DataCopyResult cloneOrCopyData(int sourceFd, int destinationFd, std::vector<char>& buffer);

}  // namespace redomark
