// The order in which reports list paths and names: by the scalar values of
// their NFC forms (byte order for plain ASCII), the exact bytes telling apart
// names that differ only in their form or in invalid bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/records/checkpoint.h"

namespace redomark {

// The positions of paths in that order.
std::vector<size_t> pathOrder(const std::vector<const std::string*>& paths);
// Changes in the order of their paths, stably.
void sortByPath(std::vector<Change>& changes);

}  // namespace redomark
