// The few calls of a held directory that each platform makes its own way
// (directory_calls.cpp, macos/directory_calls.cpp); the rest of
// DirectoryHandle is plain POSIX and shared. Each returns what the call it
// stands for returns: a descriptor or 0, else -1 with errno.
#pragma once

#include <fcntl.h>

#include <string_view>

namespace redomark {

// A directory that lists and anchors *at calls, reached without a final link.
inline constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Opens path (absolute, or relative to startFd and kept beneath it) with
// flags, following no link anywhere on the way; with sameMount also entering
// no other mount (EXDEV). Any length.
int openWithoutLinks(int startFd, std::string_view path, int flags, bool sameMount);
// The same one component at a time, each examined before it is opened with
// passingFlags (flags for the last) and refused when it is a link (ELOOP) or,
// with sameMount, a mount point (EXDEV); for kernels that cannot do it whole.
int openByComponents(int startFd, std::string_view path, int flags, int passingFlags, bool sameMount);

// Commits a file's data and its own entry (fsync, or more where the drive
// caches writes).
int commitFile(int fd);
// Commits everything written on fd's file system.
int commitFileSystem(int fd);
// Renames unless to exists (EEXIST); ENOTSUP when the file system cannot
// promise that, nothing moved.
int renameWithoutReplacing(int fromFd, const char* from, int toFd, const char* to);
// Exchanges two entries of one directory atomically.
int exchangeEntries(int directoryFd, const char* a, const char* b);

}  // namespace redomark
