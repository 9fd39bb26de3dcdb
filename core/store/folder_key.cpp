#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "core/fs/path_text.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

namespace {

constexpr uint64_t fnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t fnvPrime = 0x100000001b3ULL;
constexpr int32_t keptCharacters = 32;

// Over the bytes as they are: the key must not change with normalization.
uint64_t fnv1a(const std::string& bytes) {
  uint64_t h = fnvOffsetBasis;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= fnvPrime;
  }
  return h;
}

bool isKept(UChar32 c) {
  return c == '-' || c == '_' || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// Whole user-perceived characters of name whose first scalar is kept, at most
// 32. Ill-formed bytes read as U+FFFD. ICU's C API, the one every ICU build
// exports, works on UTF-16.
std::string keptPrefix(const std::string& name) {
  if (name.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::u16string text(name.size(), u'\0');  // never more units than bytes
  int32_t length = 0;
  u_strFromUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &length, name.data(),
                       static_cast<int32_t>(name.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> clusters(
      ubrk_open(UBRK_CHARACTER, "", text.data(), length, &status), &ubrk_close);
  if (U_FAILURE(status)) return {};
  std::u16string kept;
  int32_t count = 0;
  for (int32_t start = ubrk_first(clusters.get()), end = ubrk_next(clusters.get());
       end != UBRK_DONE && count < keptCharacters; start = end, end = ubrk_next(clusters.get())) {
    UChar32 first;
    U16_GET(text.data(), 0, start, length, first);
    if (!isKept(first)) continue;
    kept.append(text, static_cast<size_t>(start), static_cast<size_t>(end - start));
    ++count;
  }
  std::string out(kept.size() * 3, '\0');
  int32_t bytes = 0;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &bytes, kept.data(),
                     static_cast<int32_t>(kept.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<size_t>(bytes));
  return out;
}

}  // namespace

std::string folderKey(const std::string& path) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%" PRIx64, fnv1a(path));
  return keptPrefix(lastComponent(path)) + "-" + hash;
}

}  // namespace redomark
