#include "redomark/confirmation.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace redomark {

bool canAsk() { return ::isatty(0) == 1; }

bool answeredYes() {
  std::fputs("Continue? [y/N] ", stdout);
  std::fflush(stdout);
  std::string answer;
  // An empty line, the end of input and a leading blank all mean no.
  return std::getline(std::cin, answer) && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

}  // namespace redomark
