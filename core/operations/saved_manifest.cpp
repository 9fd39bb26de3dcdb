#include "core/operations/saved_manifest.h"

#include <cerrno>
#include <system_error>

#include "core/fs/directory_handle.h"
#include "core/store/fs_failure.h"

namespace redomark {

SavedManifest::SavedManifest(std::string checkpointDirectory) : directory_(std::move(checkpointDirectory)) { start(); }

SavedManifest::SavedManifest(const DirectoryHandle& checkpointDirectory, std::optional<std::string> item)
    : directory_(checkpointDirectory.path()), held_(checkpointDirectory.reopen()), item_(std::move(item)) {
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
    const FsResult<DirectoryHandle> directory =
        held_ ? FsResult<DirectoryHandle>(std::move(*held_)) : DirectoryHandle::open(directory_);
    ManifestDecoder decoder;
    if (item_) decoder.onlyWithin(*item_);
    if (directory) {
      if (const FsResult<ItemStatus> facts = directory->status("manifest.json"))
        decoder.expect(static_cast<size_t>(facts->size));
    }
    const FsStatus read = directory ? directory->readFile("manifest.json", [&](std::string_view piece) {
      decoder.add(piece);
    }) : FsStatus(directory.error());
    if (!read) throw fsFailure(read.code(), FsOperation::read, directory_ + "/manifest.json");
    table_ = decoder.finishTable();
    if (item_) keepOnlyItem();
    index_.emplace(table_);
  } catch (...) {
    error_ = std::current_exception();
  }
  done_.store(true, std::memory_order_release);
}

// The paths stay where they are in the buffer; only the rows are dropped.
void SavedManifest::keepOnlyItem() {
  const std::string& item = *item_;
  std::erase_if(table_.rows, [&](const ManifestTable::Row& row) {
    const std::string_view path = std::string_view(table_.paths).substr(row.pathOffset, row.pathLength);
    return !path.starts_with(item) || (path.size() != item.size() && path[item.size()] != '/');
  });
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
