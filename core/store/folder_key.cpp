#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

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

// Whole user-perceived characters of name whose first scalar is kept, at most 32.
std::string keptPrefix(const std::string& name) {
  if (name.empty()) return {};
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return {};
  clusters->setText(text);
  icu::UnicodeString kept;
  int32_t count = 0;
  for (int32_t start = clusters->first(), end = clusters->next(); end != icu::BreakIterator::DONE && count < keptCharacters;
       start = end, end = clusters->next()) {
    if (!isKept(text.char32At(start))) continue;
    kept.append(text, start, end - start);
    ++count;
  }
  std::string out;
  kept.toUTF8String(out);
  return out;
}

}  // namespace

std::string folderKey(const std::string& path) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%" PRIx64, fnv1a(path));
  return keptPrefix(lastComponent(path)) + "-" + hash;
}

}  // namespace redomark
