#include "core/fs/clone_calls.h"

#include <fcntl.h>
#include <sys/clonefile.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs/file_data_copy.h"

namespace redomark {

// Every mount is a volume of its own, with a device number of its own.
uint64_t mountIdOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_dev) + 1;
}

// APFS keeps no no-copy-on-write attribute: there is nothing to carry.
int readNoCow(int, bool& noCow) {
  noCow = false;
  return 0;
}

int writeNoCow(int, bool) { return 0; }

bool mayCloneAcrossNoCow(int) { return true; }

bool copiesScaleWithThreads(int) { return true; }

// APFS clones only to a new name: fclonefileat makes the copy with the
// source's data shared, its permission bits (set-id bits dropped unless the
// owner is carried), extended attributes, ACL and times; the copy's owner is
// put on afterwards, as for any copy. Where the volume refuses to clone, the
// file is made empty for its bytes to be copied.
int createCopyFile(int sourceFd, int directory, const char* name, mode_t mode, bool& cloned) {
  cloned = fclonefileat(sourceFd, directory, name, CLONE_NOOWNERCOPY) == 0;
  if (cloned) return openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (!cloneRefused(errno)) return -1;
  return openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

void itemTimes(const struct stat& st, timespec (&times)[2]) {
  times[0] = st.st_atimespec;
  times[1] = st.st_mtimespec;
}

}  // namespace redomark
