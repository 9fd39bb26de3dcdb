#include "core/operations/manifest_index.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "core/records/unicode_text.h"

namespace redomark {

namespace {
bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
}  // namespace

ManifestIndex::ManifestIndex(const std::vector<ManifestEntry>& entries, bool matchNfc) : entries_(entries) {
  if (entries.size() >= emptySlot) throw std::length_error("manifest has too many entries");
  // At most half full, so that probe runs stay short.
  size_t capacity = 16;
  while (capacity < entries.size() * 2) capacity *= 2;
  slots_.assign(capacity, emptySlot);
  mask_ = capacity - 1;
  claimed_.assign(entries.size(), false);
  for (uint32_t i = 0; i < entries.size(); ++i) {
    const std::string& path = entries[i].path;
    if (matchNfc && !isAscii(path)) {
      std::string nfc = toNFC(path);
      if (nfc != path) nfcKeys_.emplace(i, std::move(nfc));
    }
    uint32_t& slot = slotFor(keyOf(i));
    if (slot != emptySlot) claimed_[slot] = true;
    slot = i;
  }
}

std::string_view ManifestIndex::keyOf(uint32_t position) const {
  if (!nfcKeys_.empty()) {
    const auto it = nfcKeys_.find(position);
    if (it != nfcKeys_.end()) return it->second;
  }
  return entries_[position].path;
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
