// A checkpoint's manifest and its index by path, read on a thread of their own
// so that a diff's walk of the folder starts at once instead of after them.
// Only the thread that made it may call its members.
#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "core/fs/directory_handle.h"
#include "core/operations/manifest_index.h"
#include "core/records/record_coding.h"

namespace redomark {

class SavedManifest {
 public:
  // Starts reading the manifest in checkpointDirectory; where no thread can be
  // started it is read here, before this returns.
  explicit SavedManifest(std::string checkpointDirectory);
  // The same from a checkpoint directory already held open; with item, only
  // the entries of that relative path and below it are kept and indexed.
  explicit SavedManifest(const DirectoryHandle& checkpointDirectory,
                         std::optional<std::string> item = std::nullopt);
  ~SavedManifest();
  SavedManifest(const SavedManifest&) = delete;
  SavedManifest& operator=(const SavedManifest&) = delete;

  // Whether the table and its index are ready, without waiting; throws the
  // reading's error (FsError, RedomarkError or JsonError) once it is known.
  bool ready();
  // Waits until they are ready; throws as ready does.
  void wait();

  const ManifestTable& table() const { return table_; }
  ManifestIndex& index() { return *index_; }

 private:
  void start();
  void read();
  void keepOnlyItem();

  const std::string directory_;
  std::optional<DirectoryHandle> held_;
  const std::optional<std::string> item_;
  ManifestTable table_;
  std::optional<ManifestIndex> index_;
  std::exception_ptr error_;
  std::atomic<bool> done_{false};
  std::thread thread_;  // last, so that it starts once the rest exists
};

}  // namespace redomark
