// Text rules shared by the store and the operations: names are their bytes,
// sorting is by the scalar values of the NFC forms, and what is written as
// JSON text is made valid UTF-8.
// ASCII-only strings take a fast path with no normalization work.
#pragma once

#include <string>
#include <string_view>

namespace redomark {

// Ill-formed UTF-8 bytes pass through unchanged, so comparison stays total.
std::string toNFC(std::string_view utf8);
// Strict weak order: NFC scalar order (byte order of the NFC UTF-8 forms).
bool nfcLess(std::string_view a, std::string_view b);
bool isValidUtf8(std::string_view bytes);
// Each byte that isn't part of valid UTF-8 replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);
// What a name sorts by: its NFC form, each invalid byte read as U+FFFD, as
// it is shown.
std::string sortingText(std::string_view name);
// At most maxBytes of text, cut where no UTF-8 sequence is split.
std::string_view cutAtCharacter(std::string_view text, size_t maxBytes);

}  // namespace redomark
