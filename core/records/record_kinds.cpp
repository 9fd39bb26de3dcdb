#include "core/records/record_kinds.h"

namespace redomark {

std::string_view kindText(Checkpoint::Kind kind) {
  switch (kind) {
    case Checkpoint::Kind::manual: return "manual";
    case Checkpoint::Kind::beforeRestore: return "beforeRestore";
    case Checkpoint::Kind::automatic: break;
  }
  return "automatic";
}

std::string_view kindText(EntryKind kind) {
  switch (kind) {
    case EntryKind::file: return "f";
    case EntryKind::directory: return "d";
    case EntryKind::symlink: return "l";
    case EntryKind::other: break;
  }
  return "o";
}

std::string_view kindText(Change::Kind kind) {
  switch (kind) {
    case Change::Kind::added: return "added";
    case Change::Kind::modified: return "modified";
    case Change::Kind::deleted: break;
  }
  return "deleted";
}

std::optional<Checkpoint::Kind> checkpointKindFromText(std::string_view text) {
  if (text == "manual") return Checkpoint::Kind::manual;
  if (text == "beforeRestore") return Checkpoint::Kind::beforeRestore;
  if (text == "automatic") return Checkpoint::Kind::automatic;
  return std::nullopt;
}

std::optional<EntryKind> entryKindFromText(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (text[0]) {
    case 'f': return EntryKind::file;
    case 'd': return EntryKind::directory;
    case 'l': return EntryKind::symlink;
    case 'o': return EntryKind::other;
  }
  return std::nullopt;
}

}  // namespace redomark
