// A copy made beside the item it is to replace, under a hidden name, and
// noted in the folder's store so that the next operation on the folder
// removes it should this one die before it does.
#pragma once

#include <functional>
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
  // Removes the clone unless it took its place; after an exchange the same
  // name holds the previous contents, which must survive, and stay noted
  // until they were moved aside.
  ~TemporaryClone();

  const std::string& name() const { return name_; }
  // Called just before the clone takes the place of itemName: from then on
  // the name may hold what it replaces, which a later clean-up moves aside
  // as that item's, never removes. Throws FsError.
  void placing(const std::string& itemName);
  // The clone took the name: what was there is now under the hidden one.
  void exchanged() { exchanged_ = true; }
  // The clone is in its place, and what it replaced moved aside.
  void placed() { placed_ = true; }

 private:
  const CheckpointStore& store_;
  const std::string& folder_;
  const DirectoryHandle& directory_;
  std::string name_;
  std::string relativePath_;  // below the folder's parent
  std::string note_;
  bool exchanged_ = false;  // the hidden name holds what the clone replaced
  bool placed_ = false;
};

// Moves the entry current of a directory aside as the replaced item name.
using MoveAside =
    std::function<void(const DirectoryHandle& directory, const std::string& current, const std::string& name)>;

// Removes the copies earlier operations on the held folder noted and left
// behind, and moves aside what a copy had replaced when one died before it
// could. The caller holds the folder's lock. Never fails: what can't be done
// now stays noted for the next time.
void removeTemporaryLeftovers(const CheckpointStore& store, const HeldFolder& folder, const MoveAside& moveAside);

}  // namespace redomark
