#include "redomark/shown_text.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace redomark {
namespace {

void appendEscaped(std::string& out, std::string_view bytes) {
  static const char hex[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += hex[byte >> 4];
    out += hex[byte & 0xF];
  }
}

bool isControl(UChar32 c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::string shown(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const std::string_view piece = text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start));
    if (c < 0 || isControl(c)) {
      appendEscaped(out, piece);
    } else {
      out += piece;
    }
  }
  return out;
}

}  // namespace redomark
