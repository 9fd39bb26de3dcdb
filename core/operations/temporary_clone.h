// A copy made beside the item it is to replace, under a hidden name, and
// noted in the folder's store so that the next operation on the folder
// removes it should this one die before it does.
#pragma once

#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/held_folder.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

class TemporaryClone {
 public:
  // A free hidden name in directory, which lies at relativeDirectory below
  // the folder's parent ("" for the parent itself).
  TemporaryClone(const CheckpointStore& store, const HeldFolder& folder, const DirectoryHandle& directory,
                 const std::string& relativeDirectory);
  TemporaryClone(const TemporaryClone&) = delete;
  TemporaryClone& operator=(const TemporaryClone&) = delete;
  // Removes the clone unless it was put in place; after an exchange the same
  // name holds the previous contents, which must survive.
  ~TemporaryClone();

  const std::string& name() const { return name_; }
  // Called just before the clone takes its place: from then on the name may
  // hold what it replaces, which no later clean-up may remove.
  void placing();
  void placed() { placed_ = true; }

 private:
  const CheckpointStore& store_;
  const std::string& folder_;
  const DirectoryHandle& directory_;
  std::string name_;
  std::string note_;  // empty once forgotten
  bool placed_ = false;
};

// Removes what earlier operations on the held folder noted and left behind.
// The caller holds the folder's lock. Never fails: what can't be removed now
// stays noted for the next time.
void removeTemporaryLeftovers(const CheckpointStore& store, const HeldFolder& folder);

}  // namespace redomark
