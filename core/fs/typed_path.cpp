#include "core/fs/typed_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"

namespace redomark {

namespace {

std::vector<std::string> splitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < parts.size(); ++i) {
    if (i > from) out += '/';
    out += parts[i];
  }
  return out;
}

// "~" expanded, "." and empty components dropped, ".." taken back textually.
std::string standardized(const std::string& path) {
  const std::string expanded = expandTilde(path);
  const bool absolute = !expanded.empty() && expanded[0] == '/';
  std::vector<std::string> kept;
  for (std::string& part : splitComponents(expanded)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
        continue;
      }
      if (absolute) continue;  // ".." of the root is the root
    }
    kept.push_back(std::move(part));
  }
  if (absolute) return "/" + joined(kept);
  return kept.empty() ? "." : joined(kept);
}

// Path without its last component: "" for a single relative component.
std::string withoutLastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string homeDirectory() {
  // A HOME kept across sudo names someone else's home: root must not keep
  // its store or read its settings there.
  struct stat st;
  const char* home = std::getenv("HOME");
  if (home && *home && stat(home, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) return home;
  if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  const size_t slash = path.find('/');
  const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  if (user.empty()) return homeDirectory() + rest;
  const passwd* pw = getpwnam(user.c_str());
  return pw && pw->pw_dir ? pw->pw_dir + rest : path;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  char* out = realpath(path.c_str(), nullptr);
  if (!out) return std::nullopt;
  std::string result = out;
  std::free(out);
  return result;
}

std::optional<ItemStatus> examineNamed(const std::string& path) {
  const std::optional<std::string> real = resolvedPath(path);
  if (!real) return std::nullopt;
  const FsResult<ItemStatus> facts = examine(*real);
  if (!facts) return std::nullopt;
  return *facts;
}

std::string canonicalPath(const std::string& path) {
  std::string current = standardized(path);
  if (std::optional<std::string> whole = resolvedPath(current)) return *whole;
  std::vector<std::string> missing;  // bottom-up
  std::optional<std::string> ancestor;
  while (!ancestor) {
    if (current == "/" || current.empty()) return path;
    missing.push_back(lastComponent(current));
    current = withoutLastComponent(current);
    ancestor = resolvedPath(current);
  }
  std::string out = *ancestor == "/" ? "" : *ancestor;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) out += "/" + *it;
  return out;
}

}  // namespace redomark
