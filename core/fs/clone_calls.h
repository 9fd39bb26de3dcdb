// The few parts of a tree copy that each platform does its own way
// (clone_calls.cpp, macos/clone_calls.cpp); the copy itself is shared.
// Each returns 0 or a descriptor, else an errno as it says.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>

namespace redomark {

// The mount an open directory is on; 0 when the system doesn't say.
uint64_t mountIdOf(int fd);
// Whether an open file or directory has the no-copy-on-write attribute, put
// in noCow (false where the file system keeps none): 0, else the errno.
int readNoCow(int fd, bool& noCow);
// Gives an open directory, or a file that is still empty, the attribute or
// takes it away, leaving its other flags as they are: 0 (also where the file
// system keeps no such attribute), else the errno.
int writeNoCow(int fd, bool noCow);
// Whether the volume, mounted so, may clone between a file with the attribute
// and one without, which would drop it silently; unknown counts as may.
bool mayCloneAcrossNoCow(int destinationFd);
// Whether copies made in the directory go faster on several threads. Not
// on Btrfs: all its new items land at one end of one tree, where the
// threads would only wait on each other's locks.
bool copiesScaleWithThreads(int destinationFd);
// The new regular file name in directory for the copy of sourceFd, made with
// mode and opened for its data and attributes: with the data already shared
// (cloned true) where the system clones to a new name, else empty for
// cloneData or copyData. -1 with errno when it can't be made.
int createCopyFile(int sourceFd, int directory, const char* name, mode_t mode, bool& cloned);
// The access and modification times of st, in the order futimens takes them.
void itemTimes(const struct stat& st, timespec (&times)[2]);

}  // namespace redomark
