// What differs between the platforms beyond their calls: where the default
// store lives, which file systems clone and swap, the built-in safety lists
// and the system's own backup service. One implementation per platform.
#pragma once

#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/safety_policy.h"

namespace redomark {

// The default store root below the user's home directory.
std::string defaultStoreRootBelow(const std::string& home);
// Whether a volume of this type (VolumeInfo::fsType) is one the tool saves on,
// and how the refusal names the accepted ones ("Btrfs or XFS", "APFS").
bool isCloningFileSystem(const std::string& fsType);
const char* cloningFileSystemNames();
// Keeps the store root out of the system's own backups where the system has
// a service of its own (Time Machine); the marker files the store writes
// cover the rest. Failing is ignored: the store works without it.
void excludeFromSystemBackups(const DirectoryHandle& storeRoot);

}  // namespace redomark
