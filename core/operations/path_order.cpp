#include "core/operations/path_order.h"

#include <algorithm>
#include <numeric>

#include "core/records/unicode_text.h"

namespace redomark {

namespace {

bool isAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::vector<size_t> pathOrder(const std::vector<const std::string*>& paths) {
  std::vector<std::string> keys;
  keys.reserve(paths.size());
  for (const std::string* p : paths) keys.push_back(isAscii(*p) ? *p : toNFC(*p));
  std::vector<size_t> order(paths.size());
  std::iota(order.begin(), order.end(), size_t{0});
  // Byte order of NFC UTF-8 is scalar-value order.
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
