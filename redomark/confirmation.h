// The one question the tool asks before it changes or removes what a user
// saved, answered on a terminal.
#pragma once

namespace redomark {

// True when standard input is a terminal that can be asked.
bool canAsk();
// Prints "Continue? [y/N] " with no line end, shows it at once and reads one
// line: true only for an answer whose first character is y or Y.
bool answeredYes();

}  // namespace redomark
