#include "core/operations/path_order.h"

#include <algorithm>
#include <numeric>

#include "core/records/unicode_text.h"

namespace redomark {

std::vector<size_t> pathOrder(const std::vector<const std::string*>& paths) {
  std::vector<std::string> keys;
  keys.reserve(paths.size());
  // A name that isn't UTF-8 sorts as it is shown, each invalid byte as U+FFFD.
  for (const std::string* p : paths) keys.push_back(sortingText(*p));
  std::vector<size_t> order(paths.size());
  std::iota(order.begin(), order.end(), size_t{0});
  // Byte order of NFC UTF-8 is scalar-value order; names alike but for their
  // form or their invalid bytes are told apart by their own bytes.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (keys[a] != keys[b]) return keys[a] < keys[b];
    return *paths[a] < *paths[b];
  });
  return order;
}

void sortByPath(std::vector<Change>& changes) {
  std::vector<const std::string*> paths;
  paths.reserve(changes.size());
  for (const Change& c : changes) paths.push_back(&c.path);
  std::vector<Change> sorted;
  sorted.reserve(changes.size());
  for (size_t i : pathOrder(paths)) sorted.push_back(std::move(changes[i]));
  changes = std::move(sorted);
}

}  // namespace redomark
