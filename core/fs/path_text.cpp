#include "core/fs/path_text.h"

namespace redomark {

std::string parentPath(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string relativeParent(const std::string& relativePath) {
  const size_t slash = relativePath.rfind('/');
  return slash == std::string::npos ? "" : relativePath.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return path.substr(0, end);
  return path.substr(slash + 1, end - slash - 1);
}

std::string joinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

bool hasParentComponent(std::string_view path) {
  for (size_t at = path.find(".."); at != std::string_view::npos; at = path.find("..", at + 1)) {
    if ((at == 0 || path[at - 1] == '/') && (at + 2 == path.size() || path[at + 2] == '/')) return true;
  }
  return false;
}

}  // namespace redomark
