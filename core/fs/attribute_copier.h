// Carries every extended attribute of one item over to another, POSIX ACLs
// included (the kernel keeps them as system.posix_acl_* attributes). Keeps
// its name and value buffers between items; not shared between threads.
#pragma once

#include <string>
#include <vector>

namespace redomark {

class AttributeCopier {
 public:
  // Between two open files or directories. 0, or the errno of the failed call.
  int copy(int sourceFd, int destinationFd);
  // Between two symbolic links, each an entry of an open directory; ESTALE
  // when either name no longer holds a link.
  int copyLinks(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName);

 private:
  template <typename List, typename Get, typename Set>
  int copyWith(List list, Get get, Set set);

  std::vector<char> names_;
  std::vector<char> value_;
};

}  // namespace redomark
