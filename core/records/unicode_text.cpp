#include "core/records/unicode_text.h"

#include <cstdint>
#include <cstring>

#include <string>

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
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

const UNormalizer2* nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* instance = unorm2_getNFCInstance(&status);
  return U_SUCCESS(status) ? instance : nullptr;
}

// Appends the NFC form of the well-formed UTF-8 run to out; false when ICU
// cannot normalize it. ICU's C API, the one every ICU build exports, works on
// UTF-16.
bool appendComposed(const UNormalizer2* normalizer, std::string_view run, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  std::u16string wide(run.size(), u'\0');  // never more units than bytes
  u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), &units, run.data(), static_cast<int32_t>(run.size()),
                &status);
  if (U_FAILURE(status)) return false;
  if (unorm2_isNormalized(normalizer, wide.data(), units, &status) && U_SUCCESS(status)) {
    out.append(run);
    return true;
  }
  status = U_ZERO_ERROR;
  int32_t needed = unorm2_normalize(normalizer, wide.data(), units, nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return false;
  std::u16string normalized(static_cast<size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  needed = unorm2_normalize(normalizer, wide.data(), units, normalized.data(), needed, &status);
  if (U_FAILURE(status)) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(needed) * 3);  // at most three bytes per unit
  int32_t bytes = 0;
  u_strToUTF8(out.data() + at, static_cast<int32_t>(out.size() - at), &bytes, normalized.data(), needed, &status);
  if (U_FAILURE(status)) return false;
  out.resize(at + static_cast<size_t>(bytes));
  return true;
}

// The NFC form of text: text itself when it is already composed, else the
// composed form written into scratch. Ill-formed bytes pass through as they
// are, each well-formed run between them composed; text ICU cannot normalize
// is used as is.
std::string_view composed(std::string_view text, std::string& scratch) {
  if (isAscii(text)) return text;
  const UNormalizer2* normalizer = nfc();
  if (!normalizer) return text;
  scratch.clear();
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = 0;
  while (start < length) {
    int32_t end = start;
    int32_t next = start;
    UChar32 c = 0;
    while (end < length) {
      U8_NEXT(s, next, length, c);
      if (c < 0) break;
      end = next;
    }
    if (end > start && !appendComposed(normalizer, text.substr(start, end - start), scratch)) return text;
    scratch.append(text.substr(end, next - end));  // the ill-formed sequence, if any
    start = next;
  }
  if (scratch == text) return text;
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
