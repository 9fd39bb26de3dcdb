// folder_status <folder>: what a file manager would show beside a folder, through
// the same engine the command line uses: its redomarks, oldest first, and what
// changed since the latest one.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "core/operations/redomark.h"

namespace {

char markOf(redomark::Change::Kind kind) {
  switch (kind) {
    case redomark::Change::Kind::added: return '+';
    case redomark::Change::Kind::modified: return '~';
    case redomark::Change::Kind::deleted: return '-';
  }
  return '?';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: folder_status <folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  try {
    const redomark::Redomark engine;
    const std::vector<redomark::Checkpoint> checkpoints = engine.listCheckpoints(folder);
    if (checkpoints.empty()) {
      std::printf("%s has no redomarks\n", folder.c_str());
      return 0;
    }
    for (const redomark::Checkpoint& checkpoint : checkpoints) {
      std::printf("%s  %lld files\n", checkpoint.id.c_str(), static_cast<long long>(checkpoint.fileCount));
    }
    const redomark::DiffResult diff = engine.diff(folder, std::nullopt);
    std::printf("%zu change(s) since %s\n", diff.changes.size(), diff.checkpoint.id.c_str());
    for (const redomark::Change& change : diff.changes) {
      std::printf("%c %s%s\n", markOf(change.kind), change.path.c_str(), change.isDirectory ? "/" : "");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "folder_status: %s\n", error.what());
    return 1;
  }
  return 0;
}
