// The space a volume takes for its own records of the items of a tree (inodes,
// names, extent maps), which a checkpoint's copies never share with the
// folder: estimated from what the tree holds and the volume's geometry.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/fs/directory_handle.h"
#include "core/records/checkpoint.h"

namespace redomark {

struct RecordGeometry {
  enum class Kind { other, btrfs, xfs };
  Kind kind = Kind::other;
  int64_t metadataCopies = 1;  // Btrfs: copies of every tree block its metadata profile keeps
  int64_t inodeSize = 0;       // XFS
  int64_t blockSize = 4096;
};

// Asked of any open directory of the volume; Kind::other when it is neither
// Btrfs nor XFS or cannot be asked.
RecordGeometry readRecordGeometry(const DirectoryHandle& directory);

struct ItemTally {
  int64_t items = 0;           // entries of every kind below the root
  int64_t nameBytes = 0;       // their names' lengths
  int64_t extents = 0;         // data extents mapped outside the metadata
  int64_t inlineExtents = 0;   // extents holding data in the metadata (Btrfs)
  int64_t inlineBytes = 0;     // the data they hold, counted once elsewhere
  int64_t directoryBytes = 0;  // blocks the directories hold (XFS), or an estimate of them
};

// Adds an entry known only by its name, kind and size, as a save's manifest
// knows it, guessing its extents from its size.
void tallyEntry(ItemTally& tally, const RecordGeometry& geometry, std::string_view name, EntryKind kind, int64_t size);

// Bytes the records of the tallied items take on the volume, beyond the data
// bytes already counted (an inline extent's first copy among them).
int64_t recordBytes(const RecordGeometry& geometry, const ItemTally& tally);

}  // namespace redomark
