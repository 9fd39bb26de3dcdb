// Text rules shared by the store and the operations: canonically equivalent
// strings are equal, and sorting is by the scalar values of the NFC forms.
// ASCII-only strings take a fast path with no normalization work.
#pragma once

#include <string>
#include <string_view>

namespace redomark {

// Ill-formed UTF-8 bytes pass through unchanged, so comparison stays total.
std::string toNFC(std::string_view utf8);
bool canonicallyEqual(std::string_view a, std::string_view b);
// Strict weak order: NFC scalar order (byte order of the NFC UTF-8 forms).
bool nfcLess(std::string_view a, std::string_view b);
// Replaces invalid UTF-8 sequences with U+FFFD.
std::string repairUtf8(std::string_view bytes);

}  // namespace redomark
