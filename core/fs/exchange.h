// Atomic renames that plain rename(2) cannot express: exchanging two directory
// entries (both swap places, or neither moves), and a move that never replaces.
#pragma once

#include <string>

namespace redomark {

// 0 on success, else the errno of the failed exchange (nothing moved).
int exchangeEntries(const std::string& a, const std::string& b);

// Renames from to to unless something already exists at to (then EEXIST).
// 0 on success, else the errno (nothing moved).
int moveWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace redomark
