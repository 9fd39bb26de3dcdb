// Copies a whole tree so that each regular file shares its data blocks with
// its source where the file system allows, and is copied where it does not.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/fs/directory_handle.h"
#include "core/fs/item_status.h"
#include "core/records/operation_control.h"

namespace redomark {

// An item of a whole tree's copy once it is made, each directory before its
// contents: its path below the copy's root, its kind, and the size (a regular
// file's; 0 otherwise) and modification time that a walk of the copy finds.
struct CopiedItem {
  std::string_view path;
  EntryKind kind;
  int64_t size;
  int64_t mtimeNs;
};
// Called under a lock when several threads copy, so in no fixed order
// between folders.
using CopiedItemVisitor = std::function<void(const CopiedItem&)>;

struct CloneContext {
  int64_t files = 0;             // regular files finished
  int64_t cloned = 0;            // of those, how many share their data with the source
  int64_t links = 0;             // symbolic links made
  std::optional<int64_t> total;  // passed through to progress reports
  // Free bytes a file that can't be cloned must leave when it is copied.
  std::optional<int64_t> copyReserveBytes;
  OperationControl* control = nullptr;
};

// Copies the open directory source, its contents and then its own attributes,
// to the new entry destinationName of destinationParent (which must not
// exist), with permission bits, ownership where allowed, nanosecond times,
// extended attributes and the no-copy-on-write attribute. The names of one
// file inside it stay names of one file, each counted as a finished file.
// Reports phase copying through the control's throttle after each file. A
// file that must be copied is copied only while copyReserveBytes (when given)
// stay free beyond its size. On failure the half-made destination is removed
// and it throws FsError: cancelled when the control was cancelled, changed
// naming a source item that turned into another kind (a directory into a
// link, say) while it was copied, otherVolume for a mount met inside the tree,
// notEnoughSpace (needed: the reserve and the file's size) when a copy would
// not leave the reserve, notAllowedToWrite when the destination's parent
// refuses the new entry, else a failed call of FsOperation::copy naming the
// failing source path and its errno. onCopied, when given, is told
// of every item below the root as it is made.
CloneContext cloneDirectory(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                            const std::string& destinationName, std::optional<int64_t> total, OperationControl* control,
                            std::optional<int64_t> copyReserveBytes = std::nullopt,
                            const CopiedItemVisitor* onCopied = nullptr);
// The same, with destinationName made a new Btrfs subvolume rather than a
// plain directory.
CloneContext cloneDirectoryAsSubvolume(const DirectoryHandle& source, const DirectoryHandle& destinationParent,
                                       const std::string& destinationName, std::optional<int64_t> total,
                                       OperationControl* control);
// Gives the directory destination the ownership (where allowed), extended
// attributes, permission bits and times of source, as a copy's directories get
// them. Throws FsError, a failed call of FsOperation::copy.
void copyDirectoryAttributes(const DirectoryHandle& source, const DirectoryHandle& destination);
// The same for the entry name of sourceParent: a directory, a file or a
// symbolic link, which is not followed. A file is copied on its own, not
// linked to anything beside it.
CloneContext cloneEntry(const DirectoryHandle& sourceParent, const std::string& name,
                        const DirectoryHandle& destinationParent, const std::string& destinationName,
                        std::optional<int64_t> total, OperationControl* control);

}  // namespace redomark
