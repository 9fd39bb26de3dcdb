#include "core/fs/platform.h"

#include "core/fs/path_text.h"
#include "core/fs/tree_removal.h"
#include "core/fs/typed_path.h"
#include "core/fs/macos/extended_attributes.h"

namespace redomark {

namespace {

// The string "com.apple.backupd" as a binary property list: the value of the
// exclusion that Time Machine honours and that stays with the folder when it
// is moved or restored, as the backup framework itself writes it.
constexpr unsigned char backupExclusion[] = {
    0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0x5f, 0x10, 0x11, 0x63, 0x6f, 0x6d, 0x2e, 0x61,
    0x70, 0x70, 0x6c, 0x65, 0x2e, 0x62, 0x61, 0x63, 0x6b, 0x75, 0x70, 0x64, 0x08, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1c};
constexpr const char* backupExclusionAttribute = "com.apple.metadata:com_apple_backup_excludeItem";

}  // namespace

std::string defaultStoreRootBelow(const std::string& home) {
  return joinPath(home, "Library/Application Support/Redomark/Checkpoints");
}

bool isCloningFileSystem(const std::string& fsType) { return fsType == "apfs"; }

const char* cloningFileSystemNames() { return "APFS"; }

// Spotlight keeps out of the store for its ".metadata_never_index".
void excludeFromSystemBackups(const DirectoryHandle& storeRoot) {
  fsetxattr(storeRoot.fd(), backupExclusionAttribute, backupExclusion, sizeof backupExclusion, 0, 0);
}

SafetyPolicy defaultSafetyPolicy() { return macSafetyPolicy(); }

}  // namespace redomark
