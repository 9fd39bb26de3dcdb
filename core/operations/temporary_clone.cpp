#include "core/operations/temporary_clone.h"

#include <cstdio>
#include <exception>
#include <random>

#include "core/fs/path_text.h"

namespace redomark {

namespace {

constexpr const char* temporaryPrefix = ".redomark-restore-";

std::string freeTemporaryName(const DirectoryHandle& directory) {
  std::random_device secure;
  char name[32];
  do {
    std::snprintf(name, sizeof name, "%s%08x", temporaryPrefix, static_cast<unsigned>(secure()));
  } while (directory.status(name));
  return name;
}

}  // namespace

TemporaryClone::TemporaryClone(const CheckpointStore& store, const HeldFolder& folder, const DirectoryHandle& directory,
                               const std::string& relativeDirectory)
    : store_(store), folder_(folder.path()), directory_(directory), name_(freeTemporaryName(directory)) {
  note_ = store.noteTemporary(folder_, joinPath(relativeDirectory, name_));
}

TemporaryClone::~TemporaryClone() {
  if (!placed_) {
    try {
      // A copy that failed has removed what it made already.
      if (directory_.status(name_)) directory_.removeTree(name_);
    } catch (...) {
      // Best effort: the first error is the one reported, and the note stays.
      return;
    }
  }
  placing();
}

void TemporaryClone::placing() {
  if (note_.empty()) return;
  store_.forgetTemporary(folder_, note_);
  note_.clear();
}

void removeTemporaryLeftovers(const CheckpointStore& store, const HeldFolder& folder) {
  try {
    for (const auto& [note, relativePath] : store.temporaries(folder.path())) {
      const std::string name = lastComponent(relativePath);
      const std::string directory = relativePath.find('/') == std::string::npos ? "" : parentPath(relativePath);
      // Only a hidden name of ours, reached without a link on the way.
      if (!name.starts_with(temporaryPrefix)) {
        store.forgetTemporary(folder.path(), note);
        continue;
      }
      std::optional<DirectoryHandle> holder =
          directory.empty() ? std::optional<DirectoryHandle>(folder.parent().reopen()) : folder.parent().descend(directory);
      if (holder && holder->status(name)) holder->removeTree(name);
      store.forgetTemporary(folder.path(), note);
    }
  } catch (const std::exception&) {
    // Tried again by the next operation on the folder.
  }
}

}  // namespace redomark
