// The rule of change between a checkpoint's manifest and the other side of a
// diff (the folder now, or a later checkpoint): items are the same when their
// kinds are equal and, unless they are directories, their sizes and
// modification times too. Each entry of the other side claims the saved entry
// of its path; the saved entries never claimed were deleted.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/operations/saved_manifest.h"
#include "core/records/checkpoint.h"

namespace redomark {

class ManifestComparison {
 public:
  // The manifest must outlive the comparison, and be ready before the first add.
  explicit ManifestComparison(SavedManifest& saved) : saved_(saved) {}

  void add(std::string_view path, EntryKind kind, int64_t size, int64_t mtimeNs);
  // Every change, the deletions included, sorted by path; add may not be
  // called after it.
  std::vector<Change> finish();

 private:
  SavedManifest& saved_;
  std::vector<Change> changes_;
};

}  // namespace redomark
