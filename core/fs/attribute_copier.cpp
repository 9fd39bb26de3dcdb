#include "core/fs/attribute_copier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "core/fs/file_descriptor.h"

namespace redomark {

namespace {

constexpr size_t initialBufferBytes = 4096;

// Calls fill(buffer, size) until the buffer is large enough for the answer,
// which can grow between the call that sizes it and the one that reads it.
template <typename Fill>
ssize_t readGrowing(std::vector<char>& buffer, Fill fill) {
  if (buffer.size() < initialBufferBytes) buffer.resize(initialBufferBytes);
  for (;;) {
    const ssize_t n = fill(buffer.data(), buffer.size());
    if (n >= 0 || errno != ERANGE) return n;
    const ssize_t needed = fill(nullptr, 0);
    if (needed < 0) return needed;
    buffer.resize(static_cast<size_t>(needed) + initialBufferBytes);
  }
}

}  // namespace

template <typename List, typename Get, typename Set>
int AttributeCopier::copyWith(List list, Get get, Set set) {
  const ssize_t listed = readGrowing(names_, list);
  if (listed < 0) return errno == ENOTSUP ? 0 : errno;
  for (ssize_t at = 0; at < listed;) {
    const char* name = names_.data() + at;
    at += static_cast<ssize_t>(std::strlen(name)) + 1;
    const ssize_t length = readGrowing(value_, [&](char* b, size_t s) { return get(name, b, s); });
    if (length < 0) {
      if (errno == ENODATA) continue;  // removed since it was listed
      return errno;
    }
    // Attributes the destination cannot hold, or that only a more privileged
    // process may set, are left behind as ownership is.
    if (set(name, value_.data(), static_cast<size_t>(length)) != 0 && errno != ENOTSUP && errno != EPERM)
      return errno;
  }
  return 0;
}

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
