// Finds the entries of a manifest by path without copying any path: an
// open-addressing table of positions into the entries, each of which can be
// claimed once, so that what is never claimed is what the other side lacks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/record_coding.h"

namespace redomark {

class ManifestIndex {
 public:
  static constexpr size_t npos = SIZE_MAX;

  // Paths match when their bytes are equal. Of entries whose paths match, the
  // last one counts and the others are claimed from the start. The entries
  // must outlive the index, unchanged. Throws std::length_error beyond 2^32 - 2
  // entries.
  explicit ManifestIndex(const std::vector<ManifestEntry>& entries);
  explicit ManifestIndex(const ManifestTable& table);

  // The position of the unclaimed entry at this path, claimed now; npos when
  // there is none.
  size_t claim(std::string_view path);
  bool claimed(size_t position) const { return claimed_[position]; }

 private:
  static constexpr uint64_t emptySlot = UINT64_MAX;

  void build(size_t count);
  std::string_view keyOf(uint32_t position) const {
    return entries_ ? std::string_view((*entries_)[position].path) : table_->path(position);
  }
  // A slot holds the high half of its path's hash above the entry's position,
  // so that a probe past other paths rarely has to read them.
  uint64_t& slotFor(std::string_view key, uint64_t hash);

  const std::vector<ManifestEntry>* entries_ = nullptr;
  const ManifestTable* table_ = nullptr;
  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  std::vector<bool> claimed_;
  size_t lastClaimed_ = SIZE_MAX;  // the position claimed last; one past it wraps to 0
};

}  // namespace redomark
