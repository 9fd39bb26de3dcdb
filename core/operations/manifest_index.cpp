#include "core/operations/manifest_index.h"

#include <functional>
#include <stdexcept>

namespace redomark {

namespace {

uint64_t hashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }

uint32_t positionIn(uint64_t slot) { return static_cast<uint32_t>(slot); }

}  // namespace

ManifestIndex::ManifestIndex(const std::vector<ManifestEntry>& entries) : entries_(&entries) { build(entries.size()); }

ManifestIndex::ManifestIndex(const ManifestTable& table) : table_(&table) { build(table.size()); }

void ManifestIndex::build(size_t count) {
  if (count >= UINT32_MAX) throw std::length_error("manifest has too many entries");
  // At most half full, so that probe runs stay short.
  size_t capacity = 16;
  while (capacity < count * 2) capacity *= 2;
  slots_.assign(capacity, emptySlot);
  mask_ = capacity - 1;
  claimed_.assign(count, false);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view key = keyOf(i);
    const uint64_t hash = hashOf(key);
    uint64_t& slot = slotFor(key, hash);
    if (slot != emptySlot) claimed_[positionIn(slot)] = true;
    slot = (hash & 0xFFFF'FFFF'0000'0000) | i;
  }
}

uint64_t& ManifestIndex::slotFor(std::string_view key, uint64_t hash) {
  const uint64_t tag = hash & 0xFFFF'FFFF'0000'0000;
  size_t at = hash & mask_;
  for (;;) {
    uint64_t& slot = slots_[at];
    if (slot == emptySlot || ((slot & 0xFFFF'FFFF'0000'0000) == tag && keyOf(positionIn(slot)) == key)) return slot;
    at = (at + 1) & mask_;
  }
}

size_t ManifestIndex::claim(std::string_view path) {
  // A walk meets items in nearly the order the manifest lists them, so the
  // entry after the last one claimed is tried before any hash. An entry still
  // unclaimed is the one the table holds for its path: duplicates that do not
  // count were claimed from the start.
  const size_t guess = lastClaimed_ + 1;
  if (guess < claimed_.size() && !claimed_[guess] && keyOf(static_cast<uint32_t>(guess)) == path) {
    claimed_[guess] = true;
    lastClaimed_ = guess;
    return guess;
  }
  const uint64_t slot = slotFor(path, hashOf(path));
  if (slot == emptySlot) return npos;
  const uint32_t position = positionIn(slot);
  if (claimed_[position]) return npos;
  claimed_[position] = true;
  lastClaimed_ = position;
  return position;
}

}  // namespace redomark
