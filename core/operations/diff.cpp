#include <cerrno>
#include <cstring>

#include "core/fs/typed_path.h"
#include "core/fs/walker.h"
#include "core/operations/manifest_comparison.h"
#include "core/operations/redomark.h"
#include "core/operations/saved_manifest.h"
#include "core/records/record_coding.h"
#include "core/records/redomark_error.h"
#include "core/store/fs_failure.h"

namespace redomark {

namespace {

// What the walk delivered before the saved side was ready, the paths in one
// buffer, compared once it is. Past a few thousand the walk waits instead:
// its helpers still list ahead meanwhile, and a large manifest would
// otherwise have a large part of the tree held twice.
class EarlyEntries {
 public:
  static constexpr size_t most = 4096;

  bool full() const { return entries_.size() >= most; }
  void add(const WalkEntry& e) {
    entries_.push_back(Entry{paths_.size(), e.path.size(), e.kind, e.size, e.mtimeNs});
    paths_ += e.path;
  }
  template <typename Compare>
  void drain(const Compare& compare) {
    for (const Entry& e : entries_)
      compare(std::string_view(paths_).substr(e.pathOffset, e.pathLength), e.kind, e.size, e.mtimeNs);
    entries_.clear();
    paths_.clear();
  }

 private:
  struct Entry {
    size_t pathOffset;
    size_t pathLength;
    EntryKind kind;
    int64_t size;
    int64_t mtimeNs;
  };
  std::vector<Entry> entries_;
  std::string paths_;
};

// The folder to compare, reached without following a link; nothing when it is
// gone or no longer a directory, which leaves only deletions. One that can't
// be read is not empty.
std::optional<DirectoryHandle> openCompared(const std::string& folder) {
  FsResult<DirectoryHandle> directory = DirectoryHandle::open(folder);
  if (directory || directory.code() == ENOENT || directory.code() == ENOTDIR) return std::move(directory).orNothing();
  if (directory.code() == ELOOP) throw RedomarkError::pathChanged(folder);
  throw fsFailure(directory.code(), FsOperation::read, folder);
}

}  // namespace

std::vector<Change> Redomark::computeChanges(const std::string& canonicalFolder, const Checkpoint& checkpoint,
                                             const CheckpointStore& store) {
  // The manifest is read beside the walk; the text is gone once it is
  // decoded, and the index holds no paths.
  SavedManifest saved(store.checkpointDirectory(checkpoint));
  ManifestComparison comparison(saved);
  const auto compare = [&](std::string_view path, EntryKind kind, int64_t size, int64_t mtimeNs) {
    comparison.add(path, kind, size, mtimeNs);
  };
  EarlyEntries early;
  bool compared = false;
  const auto visit = [&](const WalkEntry& e) {
    if (!compared) {
      if (!saved.ready() && !early.full()) return early.add(e);
      saved.wait();
      early.drain(compare);
      compared = true;
    }
    compare(e.path, e.kind, e.size, e.mtimeNs);
  };
  try {
    if (const std::optional<DirectoryHandle> folder = openCompared(canonicalFolder))
      walk(*folder, nullptr, visit, WalkPace::openAhead);
  } catch (...) {
    // A manifest that can't be read is the error to report, as when it was
    // read first.
    saved.wait();
    throw;
  }
  saved.wait();
  early.drain(compare);
  return comparison.finish();
}

DiffResult Redomark::diff(const std::string& folder, const std::optional<std::string>& id) const try {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  Checkpoint checkpoint = store.resolve(id, canonical);
  std::vector<Change> changes = computeChanges(canonical, checkpoint, store);
  return DiffResult{std::move(checkpoint), std::move(changes)};
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
