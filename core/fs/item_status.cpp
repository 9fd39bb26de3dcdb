#include "core/fs/item_status.h"

#include <sys/stat.h>

namespace redomark {

std::optional<ItemStatus> itemStatus(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  ItemStatus status;
  if (S_ISREG(st.st_mode)) {
    status.kind = EntryKind::file;
    status.size = st.st_size;
  } else if (S_ISDIR(st.st_mode)) {
    status.kind = EntryKind::directory;
  } else if (S_ISLNK(st.st_mode)) {
    status.kind = EntryKind::symlink;
  }
  status.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return status;
}

}  // namespace redomark
