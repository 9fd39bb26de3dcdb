#include "core/operations/manifest_index.h"

#include <functional>
#include <stdexcept>


namespace redomark {

ManifestIndex::ManifestIndex(const std::vector<ManifestEntry>& entries) : entries_(entries) {
  if (entries.size() >= emptySlot) throw std::length_error("manifest has too many entries");
  // At most half full, so that probe runs stay short.
  size_t capacity = 16;
  while (capacity < entries.size() * 2) capacity *= 2;
  slots_.assign(capacity, emptySlot);
  mask_ = capacity - 1;
  claimed_.assign(entries.size(), false);
  for (uint32_t i = 0; i < entries.size(); ++i) {
    uint32_t& slot = slotFor(keyOf(i));
    if (slot != emptySlot) claimed_[slot] = true;
    slot = i;
  }
}

uint32_t& ManifestIndex::slotFor(std::string_view key) {
  size_t at = std::hash<std::string_view>{}(key) & mask_;
  while (slots_[at] != emptySlot && keyOf(slots_[at]) != key) at = (at + 1) & mask_;
  return slots_[at];
}

size_t ManifestIndex::claim(std::string_view path) {
  const uint32_t slot = slotFor(path);
  if (slot == emptySlot || claimed_[slot]) return npos;
  claimed_[slot] = true;
  return slot;
}

}  // namespace redomark
