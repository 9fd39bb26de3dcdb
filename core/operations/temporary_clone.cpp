#include "core/operations/temporary_clone.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <random>
#include <vector>

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

// A note says what the name holds: "copy", ours to remove, or "replaced",
// what the clone took the place of, to be moved aside as the item's.
constexpr const char* copyNote = "copy";
constexpr const char* replacedNote = "replaced";

TemporaryClone::TemporaryClone(const CheckpointStore& store, const HeldFolder& folder, const DirectoryHandle& directory,
                               const std::string& relativeDirectory)
    : store_(store),
      folder_(folder.path()),
      directory_(directory),
      name_(freeTemporaryName(directory)),
      relativePath_(joinPath(relativeDirectory, name_)) {
  note_ = store.noteTemporary(folder_, std::string(copyNote) + "\n" + relativePath_);
}

TemporaryClone::~TemporaryClone() {
  if (exchanged_ && !placed_) return;  // the next operation moves it aside
  if (!placed_) {
    try {
      // A copy that failed has removed what it made already.
      if (directory_.status(name_)) directory_.removeTree(name_);
    } catch (...) {
      // Best effort: the first error is the one reported, and the note stays.
      return;
    }
  }
  if (!note_.empty()) store_.forgetTemporary(folder_, note_);
}

void TemporaryClone::placing(const std::string& itemName) {
  // Noted anew before the old note goes, so that no moment has neither.
  const std::string replaced =
      store_.noteTemporary(folder_, std::string(replacedNote) + "\n" + relativePath_ + "\n" + itemName);
  store_.forgetTemporary(folder_, note_);
  note_ = replaced;
}

void removeTemporaryLeftovers(const CheckpointStore& store, const HeldFolder& folder, const MoveAside& moveAside) {
  try {
    for (const auto& [note, text] : store.temporaries(folder.path())) {
      std::vector<std::string> lines;
      for (size_t from = 0, end; from <= text.size(); from = end + 1) {
        end = std::min(text.find('\n', from), text.size());
        lines.push_back(text.substr(from, end - from));
      }
      const std::string& relativePath = lines.size() > 1 ? lines[1] : "";
      const std::string name = lastComponent(relativePath);
      const std::string directory = relativePath.find('/') == std::string::npos ? "" : parentPath(relativePath);
      const bool replaced = lines[0] == replacedNote && lines.size() > 2;
      // Only a hidden name of ours, reached without a link on the way.
      if (name.starts_with(temporaryPrefix)) {
        std::optional<DirectoryHandle> holder = directory.empty() ? std::optional<DirectoryHandle>(folder.parent().reopen())
                                                                  : folder.parent().descend(directory).orNothing();
        if (holder && holder->status(name)) {
          if (replaced) {
            moveAside(*holder, name, lines[2]);
          } else {
            holder->removeTree(name);
          }
        }
      }
      store.forgetTemporary(folder.path(), note);
    }
  } catch (const std::exception&) {
    // Tried again by the next operation on the folder.
  }
}

}  // namespace redomark
