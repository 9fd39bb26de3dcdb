#include "core/operations/manifest_comparison.h"

#include "core/operations/path_order.h"

namespace redomark {

void ManifestComparison::add(std::string_view path, EntryKind kind, int64_t size, int64_t mtimeNs) {
  const bool isDir = kind == EntryKind::directory;
  const size_t at = saved_.index().claim(path);
  if (at == ManifestIndex::npos) {
    changes_.push_back(Change{std::string(path), Change::Kind::added, isDir, size, std::nullopt});
    return;
  }
  const ManifestTable::Row& was = saved_.table().rows[at];
  const struct {
    EntryKind kind;
    int64_t size;
    int64_t mtimeNs;
  } now{kind, size, mtimeNs};
  if (!isUnchanged(was, now))
    changes_.push_back(Change{std::string(path), Change::Kind::modified, isDir, size, was.size});
}

std::vector<Change> ManifestComparison::finish() {
  const ManifestTable& table = saved_.table();
  for (size_t i = 0; i < table.size(); ++i) {
    if (saved_.index().claimed(i)) continue;
    const ManifestTable::Row& was = table.rows[i];
    changes_.push_back(Change{std::string(table.path(i)), Change::Kind::deleted, was.kind == EntryKind::directory,
                              std::nullopt, was.size});
  }
  sortByPath(changes_);
  return std::move(changes_);
}

}  // namespace redomark
