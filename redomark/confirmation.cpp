#include "redomark/confirmation.h"

#include <unicode/brkiter.h>
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
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !characters) {
    utext_close(text);
    return answer.substr(0, 1);
  }
  characters->setText(text, status);
  const int32_t end = characters->next();
  utext_close(text);
  return answer.substr(0, end == icu::BreakIterator::DONE ? answer.size() : static_cast<size_t>(end));
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
