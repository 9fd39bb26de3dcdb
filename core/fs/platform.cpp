#include "core/fs/platform.h"

#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"
#include "core/fs/typed_path.h"

namespace redomark {

std::string defaultStoreRootBelow(const std::string& home) { return joinPath(home, ".local/share/Redomark/Checkpoints"); }

bool isCloningFileSystem(const std::string& fsType) {
  return fsType == "btrfs" || fsType == "xfs" || fsType == "bcachefs";
}

const char* cloningFileSystemNames() { return "Btrfs or XFS"; }

// tar, borg and restic read the store's CACHEDIR.TAG; Linux has no backup
// service of its own to tell.
void excludeFromSystemBackups(const DirectoryHandle&) {}

SafetyPolicy defaultSafetyPolicy() {
  return {
      {"/proc", "/sys", "/dev", "/run", "/boot", "/etc", "/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
       "/libx32", "/snap", "/nix", "/var/lib", "/var/log", "/var/cache", "/var/spool"},
      {"/", "/home", "/var", "/var/home", "/var/tmp", "/tmp", "/mnt", "/media", "/opt", "/srv"},
  };
}

}  // namespace redomark
