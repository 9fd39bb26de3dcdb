#include "core/fs/exchange.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#if !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace redomark {

namespace {

int renameWithFlags(const std::string& from, const std::string& to, unsigned flags) {
#if __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28)
  const int rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
#else
  // Older C libraries have no wrapper; the kernel call has been there since 3.15.
  const int rc = static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
#endif
  return rc == 0 ? 0 : errno;
}

}  // namespace

int exchangeEntries(const std::string& a, const std::string& b) {
  return renameWithFlags(a, b, RENAME_EXCHANGE);
}

int moveWithoutReplacing(const std::string& from, const std::string& to) {
  const int err = renameWithFlags(from, to, RENAME_NOREPLACE);
  if (err != EINVAL) return err;
  // A file system without the flag (some network and FUSE ones): check, then
  // rename. The gap between the two only matters against a concurrent writer.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace redomark
