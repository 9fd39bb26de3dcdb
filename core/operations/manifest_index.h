// Finds the entries of a manifest by path without copying any path: an
// open-addressing table of positions into the entries, each of which can be
// claimed once, so that what is never claimed is what the other side lacks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/checkpoint.h"

namespace redomark {

class ManifestIndex {
 public:
  static constexpr size_t npos = SIZE_MAX;

  // Paths match when their bytes are equal. Of entries whose paths match, the
  // last one counts and the others are claimed from the start. The entries
  // must outlive the index, unchanged. Throws std::length_error beyond 2^32 - 2
  // entries.
  explicit ManifestIndex(const std::vector<ManifestEntry>& entries);

  // The position of the unclaimed entry at this path, claimed now; npos when
  // there is none.
  size_t claim(std::string_view path);
  bool claimed(size_t position) const { return claimed_[position]; }

 private:
  static constexpr uint32_t emptySlot = UINT32_MAX;

  std::string_view keyOf(uint32_t position) const { return entries_[position].path; }
  uint32_t& slotFor(std::string_view key);

  const std::vector<ManifestEntry>& entries_;
  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
  std::vector<bool> claimed_;
};

}  // namespace redomark
