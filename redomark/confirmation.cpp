#include "redomark/confirmation.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace redomark {

bool canAsk() { return ::isatty(0) == 1; }

namespace {

// The answer's first user-perceived character: "y" followed by a combining
// mark is another letter, not a yes.
std::string firstCharacter(const std::string& answer) {
  UErrorCode status = U_ZERO_ERROR;
  UText* text = utext_openUTF8(nullptr, answer.data(), static_cast<int64_t>(answer.size()), &status);
  UBreakIterator* characters = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  if (U_SUCCESS(status)) ubrk_setUText(characters, text, &status);
  // On UTF-8 text the iterator's offsets are byte offsets.
  const int32_t end = U_SUCCESS(status) ? ubrk_next(characters) : 1;
  ubrk_close(characters);
  utext_close(text);
  return answer.substr(0, end == UBRK_DONE ? answer.size() : static_cast<size_t>(end));
}

}  // namespace

bool answeredYes() {
  std::fputs("Continue? [y/N] ", stdout);
  std::fflush(stdout);
  std::string answer;
  // An empty line, the end of input and a leading blank all mean no.
  if (!std::getline(std::cin, answer) || answer.empty()) return false;
  const std::string first = firstCharacter(answer);
  return first == "y" || first == "Y";
}

}  // namespace redomark
