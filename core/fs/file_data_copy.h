// Fills a new, empty regular file with another file's bytes: by sharing the
// source's data blocks where the file system can clone, else by copying them.
// The buffer is the caller's, so one copier thread reuses one buffer.
#pragma once

#include <vector>

namespace redomark {

// Both descriptors are at offset 0; the destination is open for writing.
// Makes the destination share all of the source's blocks: 0, else the errno.
int cloneData(int sourceFd, int destinationFd);
// Whether an errno of cloneData means this pair of files cannot be cloned at
// all (so their bytes are to be copied), as opposed to a failure while trying.
bool cloneRefused(int error);
// Copies the bytes: 0, else the errno of the failing call.
int copyData(int sourceFd, int destinationFd, std::vector<char>& buffer);

}  // namespace redomark
