// Physical, pre-order walk of a folder: every item below the root once, each
// directory before its contents, links never followed, the working directory
// never changed. One status call per item; those of a large directory are
// shared with helper threads. The visitor is always called on the caller's
// thread, in the same order and with the same errors.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/fs/directory_handle.h"
#include "core/records/checkpoint.h"
#include "core/records/operation_control.h"

namespace redomark {

struct WalkEntry {
  std::string path;  // relative to the root, joined by "/"
  EntryKind kind = EntryKind::file;
  int64_t size = 0;  // bytes for a regular file, 0 otherwise
  int64_t mtimeNs = 0;
  uint32_t flags = 0;  // always 0 on Linux
  uint64_t dev = 0;
  uint64_t inode = 0;
  bool mountRoot = false;  // another mount starts here, a bind mount of the same volume too
};

// May throw; the walk then stops and passes the error on unchanged.
using WalkVisitor = std::function<void(const WalkEntry&)>;

// openAhead: past its first few items the walk opens subdirectories ahead and
// helper threads list and examine them, a whole directory each, the farthest
// first, opening their subdirectories in turn, while it delivers. That pays
// where the walk is all the work of its moment (a diff, a save's first walk, a
// snapshot's manifest); beside a clone or a commit it gains nothing and costs
// the threads.
enum class WalkPace { oneThread, openAhead };

// Walks the directory root; its path names items in errors. Throws
// FsError: FsOperation::read for an unreadable item, changed for a directory
// replaced (by a link, say) between its status and its opening, cancelled
// when the control is cancelled at a 512-entry check; or whatever the visitor
// throws.
void walk(const DirectoryHandle& root, const OperationControl* control, const WalkVisitor& visit,
          WalkPace pace = WalkPace::oneThread);

}  // namespace redomark
