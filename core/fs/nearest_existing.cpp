#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"

namespace redomark {

// The same on every system: built on examine, which each system provides.
std::string nearestExisting(const std::string& absolutePath) {
  std::string candidate = absolutePath;
  while (!examine(candidate)) {
    if (candidate == "/" || candidate.empty()) return "/";
    candidate = parentPath(candidate);
  }
  return candidate;
}

}  // namespace redomark
