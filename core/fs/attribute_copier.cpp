#include "core/fs/attribute_copier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string>

#include "core/fs/attribute_copying.h"
#include "core/fs/file_descriptor.h"

namespace redomark {

int AttributeCopier::copy(int sourceFd, int destinationFd) {
  return copyWith([&](char* b, size_t s) { return flistxattr(sourceFd, b, s); },
                  [&](const char* n, char* b, size_t s) { return fgetxattr(sourceFd, n, b, s); },
                  [&](const char* n, const char* v, size_t s) { return fsetxattr(destinationFd, n, v, s, 0); });
}

int AttributeCopier::copyLinks(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName) {
  // The l*xattr calls take only paths, and the f*xattr ones refuse an O_PATH
  // descriptor. Each link is opened itself, once, by its name in its open
  // directory; its /proc/self/fd entry then leads the following *xattr calls
  // to that very link and nowhere else, whatever happens to the name.
  const FileDescriptor fromLink(openat(sourceDir, sourceName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  const FileDescriptor toLink(openat(destinationDir, destinationName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fromLink.get() < 0 || toLink.get() < 0) return errno;
  for (const int fd : {fromLink.get(), toLink.get()}) {
    struct stat facts {};
    if (fstat(fd, &facts) != 0) return errno;
    if (!S_ISLNK(facts.st_mode)) return ESTALE;  // no longer the link that was examined
  }
  const std::string source = "/proc/self/fd/" + std::to_string(fromLink.get());
  const std::string destination = "/proc/self/fd/" + std::to_string(toLink.get());
  const char* from = source.c_str();
  const char* to = destination.c_str();
  return copyWith([&](char* b, size_t s) { return listxattr(from, b, s); },
                  [&](const char* n, char* b, size_t s) { return getxattr(from, n, b, s); },
                  [&](const char* n, const char* v, size_t s) { return setxattr(to, n, v, s, 0); });
}

}  // namespace redomark
