#include "core/records/redomark_error.h"

#include <cerrno>
#include <cstring>

namespace redomark {

namespace {

std::string joined(const std::vector<std::string>& items, size_t limit) {
  std::string out;
  for (size_t i = 0; i < items.size() && i < limit; ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
  return out;
}

}  // namespace

RedomarkError::RedomarkError(Case c, Payload payload) : case_(c), payload_(std::move(payload)) {
  description_ = errorDescription();
}

RedomarkError RedomarkError::notADirectory(std::string p) { return {Case::notADirectory, {.text = std::move(p)}}; }
RedomarkError RedomarkError::forbiddenLocation(std::string p) { return {Case::forbiddenLocation, {.text = std::move(p)}}; }
RedomarkError RedomarkError::containsStore(std::string p) { return {Case::containsStore, {.text = std::move(p)}}; }
RedomarkError RedomarkError::insideStore(std::string p) { return {Case::insideStore, {.text = std::move(p)}}; }
RedomarkError RedomarkError::unsupportedVolume(std::string r) { return {Case::unsupportedVolume, {.text = std::move(r)}}; }
RedomarkError RedomarkError::containsOtherVolume(std::string p) {
  return {Case::containsOtherVolume, {.text = std::move(p)}};
}
RedomarkError RedomarkError::containsSubvolume(std::string p) {
  return {Case::containsOtherVolume, {.text = std::move(p), .subvolume = true}};
}
RedomarkError RedomarkError::cloudOnlyFiles(int64_t count, std::vector<std::string> examples) {
  return {Case::cloudOnlyFiles, {.names = std::move(examples), .count = count}};
}
RedomarkError RedomarkError::notEnoughSpace(int64_t needed, int64_t available) {
  return {Case::notEnoughSpace, {.needed = needed, .available = available}};
}
RedomarkError RedomarkError::checkpointNotFound(std::string id) { return {Case::checkpointNotFound, {.text = std::move(id)}}; }
RedomarkError RedomarkError::ambiguousCheckpoint(std::string id, std::vector<std::string> matches) {
  return {Case::ambiguousCheckpoint, {.text = std::move(id), .names = std::move(matches)}};
}
RedomarkError RedomarkError::noCheckpoints(std::string f) { return {Case::noCheckpoints, {.text = std::move(f)}}; }
RedomarkError RedomarkError::invalidRelativePath(std::string r) {
  return {Case::invalidRelativePath, {.text = std::move(r)}};
}
RedomarkError RedomarkError::notInCheckpoint(std::string p) { return {Case::notInCheckpoint, {.text = std::move(p)}}; }
RedomarkError RedomarkError::copyFailed(std::string p, int32_t code) {
  return {Case::copyFailed, {.text = std::move(p), .code = code}};
}
RedomarkError RedomarkError::swapFailed(int32_t code) { return {Case::swapFailed, {.code = code}}; }
RedomarkError RedomarkError::busy(std::string f) { return {Case::busy, {.text = std::move(f)}}; }
RedomarkError RedomarkError::specialFile(std::string p) { return {Case::specialFile, {.text = std::move(p)}}; }
RedomarkError RedomarkError::checkpointDeleted() { return {Case::checkpointDeleted, {}}; }
RedomarkError RedomarkError::io(std::string m) { return {Case::io, {.text = std::move(m)}}; }
RedomarkError RedomarkError::cancelled() { return {Case::cancelled, {}}; }
RedomarkError RedomarkError::pathChanged(std::string p) { return {Case::pathChanged, {.text = std::move(p)}}; }
RedomarkError RedomarkError::unsafeStore(std::string p) { return {Case::unsafeStore, {.text = std::move(p)}}; }
RedomarkError RedomarkError::invalidFolderName(std::string p) { return {Case::invalidFolderName, {.text = std::move(p)}}; }
RedomarkError RedomarkError::storeNotCreatable(std::string mountPoint, std::string p, int32_t code) {
  return {Case::storeNotCreatable, {.text = std::move(p), .mountPoint = std::move(mountPoint), .code = code}};
}

std::string RedomarkError::errorDescription() const {
  const std::string& p = payload_.text;
  switch (case_) {
    case Case::notADirectory: return p + " is not a folder.";
    case Case::forbiddenLocation:
      return p + " is a system location. Redomark never saves or restores system folders.";
    case Case::containsStore: return p + " contains Redomark's own store, so it can't be saved.";
    case Case::insideStore: return p + " is inside Redomark's own store.";
    case Case::unsupportedVolume: return "This disk can't save redomarks cheaply: " + p + ".";
    case Case::containsOtherVolume:
      if (payload_.subvolume) return p + " is a separate Btrfs subvolume inside the folder, which can't be saved together with it.";
      return p + " contains another disk (a mount point), which can't be saved together with it.";
    case Case::cloudOnlyFiles:
      return std::to_string(payload_.count) + " file(s) exist only in iCloud (for example " + joined(payload_.names, 3) +
             "). Saving them would download them. Download or move them first.";
    case Case::notEnoughSpace:
      return "Not enough free space: about " + std::to_string(payload_.needed) + " bytes needed, " +
             std::to_string(payload_.available) + " available.";
    case Case::checkpointNotFound: return "No saved redomark matches \"" + p + "\".";
    case Case::ambiguousCheckpoint:
      return "\"" + p + "\" matches several redomarks: " + joined(payload_.names, payload_.names.size()) + ".";
    case Case::noCheckpoints: return "There are no saved redomarks for " + p + ".";
    case Case::invalidRelativePath: return "\"" + p + "\" is not a valid path inside the folder.";
    case Case::notInCheckpoint: return "\"" + p + "\" is not in that redomark.";
    case Case::copyFailed:
      if (payload_.code == EPERM || payload_.code == EACCES)
        return "Redomark isn't allowed to read " + p + ". Check its permissions, then try again.";
      return "Couldn't copy " + p + ": " + std::strerror(payload_.code) + ".";
    case Case::swapFailed:
      return std::string("Couldn't swap the folders (nothing was changed): ") +
             std::strerror(payload_.code) + ".";
    case Case::busy:
      return "Another Redomark operation is already running on " + p + ". Wait for it to finish.";
    case Case::specialFile:
      return p + " is a socket, pipe or device file, which Redomark can't save. Move it out of the folder first.";
    case Case::io: return p;
    case Case::cancelled: return "Cancelled.";
    case Case::pathChanged:
      return p + " changed while Redomark was working on it (a folder on its way was moved or replaced by a link), so "
                 "it was left as it is.";
    case Case::unsafeStore:
      return "Redomark keeps these redomarks in " + p +
             ", which isn't a private folder of yours (it must be a folder you own, with permissions 0700, and not a "
             "link). Move it aside, then try again.";
    case Case::invalidFolderName:
      // The front end shows the path's invalid bytes as escapes.
      return p + " can't be saved: its path isn't valid UTF-8 text.";
    case Case::checkpointDeleted: return "the redomark was deleted while it was being read";
    case Case::storeNotCreatable:
      return "Redomark keeps the redomarks of folders on " + payload_.mountPoint + " in " + p + ", which it can't create: " +
             std::strerror(payload_.code) + ". Ask an administrator to make " + payload_.mountPoint +
             "/.redomark-checkpoints a shared folder with the sticky bit (mode 1777), then try again.";
  }
  return p;
}

}  // namespace redomark
