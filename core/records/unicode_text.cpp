#include "core/records/unicode_text.h"

#include <cstdint>
#include <cstring>

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/utf8.h>

namespace redomark {
namespace {

// ASCII text is its own NFC form; checking it eight bytes at a time keeps the
// common case of plain names away from ICU entirely.
bool isAscii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; n > 0; ++p, --n)
    if (static_cast<unsigned char>(*p) & 0x80) return false;
  return true;
}

const icu::Normalizer2* nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* instance = icu::Normalizer2::getNFCInstance(status);
  return U_SUCCESS(status) ? instance : nullptr;
}

// The NFC form of text: text itself when it is already composed, else the
// composed form written into scratch. Text ICU cannot normalize is used as is.
std::string_view composed(std::string_view text, std::string& scratch) {
  if (isAscii(text)) return text;
  const icu::Normalizer2* normalizer = nfc();
  if (!normalizer) return text;
  const icu::StringPiece piece(text.data(), static_cast<int32_t>(text.size()));
  UErrorCode status = U_ZERO_ERROR;
  if (normalizer->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return text;
  scratch.clear();
  icu::StringByteSink<std::string> sink(&scratch, static_cast<int32_t>(text.size()));
  status = U_ZERO_ERROR;
  normalizer->normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) return text;
  return scratch;
}

}  // namespace

std::string toNFC(std::string_view utf8) {
  std::string scratch;
  const std::string_view result = composed(utf8, scratch);
  if (result.data() == scratch.data()) return scratch;
  return std::string(result);
}

// UTF-8 byte order is scalar-value order, so the composed forms compare as bytes.
bool nfcLess(std::string_view a, std::string_view b) {
  std::string scratchA, scratchB;
  return composed(a, scratchA) < composed(b, scratchB);
}

bool isValidUtf8(std::string_view bytes) {
  if (isAscii(bytes)) return true;
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string repairUtf8(std::string_view bytes) {
  if (isAscii(bytes)) return std::string(bytes);
  static constexpr char replacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size() + 8);
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c >= 0) {
      out.append(bytes.data() + start, static_cast<size_t>(i - start));
      continue;
    }
    for (int32_t k = start; k < i; ++k) out.append(replacement, 3);
  }
  return out;
}

std::string sortingText(std::string_view name) {
  if (isAscii(name)) return std::string(name);
  return toNFC(isValidUtf8(name) ? name : repairUtf8(name));
}

std::string_view cutAtCharacter(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // A continuation byte (10xxxxxx) belongs to the sequence before it.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace redomark
