#include "tests/tree_snapshot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace redomark::testing {
namespace {

void add(TreeSnapshot& out, const std::string& root, const std::string& relative) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("lstat " + path);
  std::ostringstream line;
  line << (S_ISDIR(st.st_mode) ? "dir" : S_ISLNK(st.st_mode) ? "link" : "file") << ' ' << std::oct
       << (st.st_mode & 07777) << std::dec << ' ' << (S_ISDIR(st.st_mode) ? 0 : st.st_size) << ' '
       << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << '|';
  if (S_ISREG(st.st_mode)) {
    line << readFile(path);
  } else if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    line << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
  }
  out[relative] = line.str();
  if (!S_ISDIR(st.st_mode)) return;
  DIR* dir = opendir(path.c_str());
  if (!dir) throw std::runtime_error("opendir " + path);
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    add(out, root, relative.empty() ? name : relative + "/" + name);
  }
  closedir(dir);
}

}  // namespace

TreeSnapshot snapshotTree(const std::string& root) {
  TreeSnapshot out;
  add(out, root, "");
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace redomark::testing
