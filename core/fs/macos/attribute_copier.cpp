#include "core/fs/attribute_copier.h"

#include <fcntl.h>

#include "core/fs/macos/extended_attributes.h"

#include <cerrno>

#include "core/fs/attribute_copying.h"
#include "core/fs/file_descriptor.h"

namespace redomark {

int AttributeCopier::copy(int sourceFd, int destinationFd) {
  return copyWith([&](char* b, size_t s) { return flistxattr(sourceFd, b, s, 0); },
                  [&](const char* n, char* b, size_t s) { return fgetxattr(sourceFd, n, b, s, 0, 0); },
                  [&](const char* n, const char* v, size_t s) { return fsetxattr(destinationFd, n, v, s, 0, 0); });
}

int AttributeCopier::copyLinks(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName) {
  // O_SYMLINK opens the links themselves, so no path is looked up again.
  const FileDescriptor from(openat(sourceDir, sourceName, O_RDONLY | O_SYMLINK | O_CLOEXEC));
  const FileDescriptor to(openat(destinationDir, destinationName, O_RDONLY | O_SYMLINK | O_CLOEXEC));
  if (from.get() < 0 || to.get() < 0) return errno;
  return copy(from.get(), to.get());
}

}  // namespace redomark
