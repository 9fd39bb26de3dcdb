// Atomic exchange of two directory entries: both swap places, or neither moves.
#pragma once

#include <string>

namespace redomark {

// 0 on success, else the errno of the failed exchange (nothing moved).
int exchangeEntries(const std::string& a, const std::string& b);

}  // namespace redomark
