#include "core/operations/saved_manifest.h"

#include <cerrno>
#include <system_error>

#include "core/fs/directory_handle.h"

namespace redomark {

SavedManifest::SavedManifest(std::string checkpointDirectory) : directory_(std::move(checkpointDirectory)) { start(); }

SavedManifest::SavedManifest(const DirectoryHandle& checkpointDirectory)
    : directory_(checkpointDirectory.path()), held_(checkpointDirectory.reopen()) {
  start();
}

void SavedManifest::start() {
  try {
    thread_ = std::thread([this] { read(); });
  } catch (const std::system_error&) {
    read();
  }
}

SavedManifest::~SavedManifest() {
  if (thread_.joinable()) thread_.join();
}

void SavedManifest::read() {
  try {
    // Through the directory's descriptor and without following a link at
    // either name, so that a link planted in the store cannot make a diff read
    // elsewhere. Decoded as it is read, so that its text is never held whole.
    errno = 0;
    const auto directory = held_ ? std::optional<DirectoryHandle>(held_->reopen()) : DirectoryHandle::open(directory_);
    ManifestDecoder decoder;
    if (directory) {
      if (const std::optional<ItemStatus> facts = directory->status("manifest.json"))
        decoder.expect(static_cast<size_t>(facts->size));
    }
    if (!directory || !directory->readFile("manifest.json", [&](std::string_view piece) { decoder.add(piece); }))
      throw std::system_error(errno ? errno : EIO, std::generic_category(),
                              "Couldn't read " + directory_ + "/manifest.json");
    table_ = decoder.finishTable();
    index_.emplace(table_);
  } catch (...) {
    error_ = std::current_exception();
  }
  done_.store(true, std::memory_order_release);
}

bool SavedManifest::ready() {
  if (!done_.load(std::memory_order_acquire)) return false;
  if (error_) std::rethrow_exception(error_);
  return true;
}

void SavedManifest::wait() {
  if (thread_.joinable()) thread_.join();
  ready();
}

}  // namespace redomark
