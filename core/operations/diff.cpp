#include <algorithm>
#include <cerrno>
#include <numeric>
#include <system_error>

#include "core/fs/directory_handle.h"
#include "core/fs/file_ops.h"
#include "core/fs/safety_policy.h"
#include "core/fs/walker.h"
#include "core/operations/manifest_index.h"
#include "core/operations/redomark.h"
#include "core/records/record_coding.h"
#include "core/records/unicode_text.h"

namespace redomark {

namespace {

bool isAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

ManifestTable readManifest(const std::string& checkpointDirectory) {
  // Through the directory's descriptor and without following a link at either
  // name, so that a link planted in the store cannot make a diff read elsewhere.
  // Decoded as it is read, so that its text is never held whole.
  errno = 0;
  const auto directory = DirectoryHandle::open(checkpointDirectory);
  ManifestDecoder decoder;
  if (directory) {
    if (const std::optional<ItemStatus> facts = directory->status("manifest.json"))
      decoder.expect(static_cast<size_t>(facts->size));
  }
  if (!directory || !directory->readFile("manifest.json", [&](std::string_view piece) { decoder.add(piece); }))
    throw std::system_error(errno ? errno : EIO, std::generic_category(),
                            "Couldn't read " + checkpointDirectory + "/manifest.json");
  return decoder.finishTable();
}

bool unchanged(const WalkEntry& now, const ManifestTable::Row& saved) {
  if (now.kind != saved.kind) return false;
  return now.kind == EntryKind::directory || (now.size == saved.size && now.mtimeNs == saved.mtimeNs);
}

void sortByNfcPath(std::vector<Change>& changes) {
  std::vector<std::string> keys;
  keys.reserve(changes.size());
  for (const Change& c : changes) keys.push_back(isAscii(c.path) ? c.path : toNFC(c.path));
  std::vector<size_t> order(changes.size());
  std::iota(order.begin(), order.end(), size_t{0});
  // Byte order of NFC UTF-8 is scalar-value order; names that differ only in
  // their form or in invalid bytes are told apart by their own bytes.
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (keys[a] != keys[b]) return keys[a] < keys[b];
    return changes[a].path < changes[b].path;
  });
  std::vector<Change> sorted;
  sorted.reserve(changes.size());
  for (size_t i : order) sorted.push_back(std::move(changes[i]));
  changes = std::move(sorted);
}

}  // namespace

std::vector<Change> Redomark::computeChanges(const std::string& canonicalFolder, const Checkpoint& checkpoint,
                                             const CheckpointStore& store) {
  // The manifest's text is gone once it is decoded; the index holds no paths.
  const ManifestTable saved = readManifest(store.checkpointDirectory(checkpoint));
  ManifestIndex index(saved);
  std::vector<Change> changes;
  {
    // A folder that is gone (or no longer a directory) has only deletions.
    const auto compare = [&](const WalkEntry& e) {
      const bool isDir = e.kind == EntryKind::directory;
      const size_t at = index.claim(e.path);
      if (at == ManifestIndex::npos) {
        changes.push_back(Change{e.path, Change::Kind::added, isDir, e.size, std::nullopt});
        return;
      }
      if (!unchanged(e, saved.rows[at]))
        changes.push_back(Change{e.path, Change::Kind::modified, isDir, e.size, saved.rows[at].size});
    };
    walk(canonicalFolder, nullptr, compare, WalkPace::openAhead);
  }
  for (size_t i = 0; i < saved.size(); ++i) {
    if (index.claimed(i)) continue;
    const ManifestTable::Row& entry = saved.rows[i];
    changes.push_back(Change{std::string(saved.path(i)), Change::Kind::deleted, entry.kind == EntryKind::directory,
                             std::nullopt, entry.size});
  }
  sortByNfcPath(changes);
  return changes;
}

DiffResult Redomark::diff(const std::string& folder, const std::optional<std::string>& id) const {
  const std::string canonical = canonicalPath(folder);
  const CheckpointStore store = storeFor(canonical);
  Checkpoint checkpoint = store.resolve(id, canonical);
  std::vector<Change> changes = computeChanges(canonical, checkpoint, store);
  return DiffResult{std::move(checkpoint), std::move(changes)};
}

}  // namespace redomark
