#include "tests/store_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

#include "core/fs/file_ops.h"
#include "core/records/record_coding.h"

namespace redomark::testing {

Checkpoint record(const std::string& folder, const std::string& id, double createdAt, Checkpoint::Kind kind,
                  int64_t totalBytes) {
  Checkpoint c;
  c.id = id;
  c.kind = kind;
  c.sourcePath = folder;
  c.createdAt = createdAt;
  c.totalBytes = totalBytes;
  return c;
}

namespace {

void writeRecord(const CheckpointStore& store, const Checkpoint& c) {
  writeWholeFile(store.checkpointDirectory(c) + "/meta.json", encodeStoreRecord(c));
}

}  // namespace

Checkpoint publish(const CheckpointStore& store, const Checkpoint& c) {
  createDirectories(store.dataDirectory(c), 0700);
  writeRecord(store, c);
  return c;
}

void rewriteFile(const std::string& path, size_t count) {
  static std::mt19937_64 random(11);
  std::string bytes(count, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  // A new file renamed over the old one: the old extents stay with whatever
  // clones still refer to them.
  const std::string fresh = path + ".new";
  const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), count) != static_cast<ssize_t>(count) || fsync(fd) != 0)
    throw std::runtime_error("cannot write " + fresh);
  close(fd);
  moveItem(fresh, path);
}

std::vector<std::string> ids(const std::vector<Checkpoint>& list) {
  std::vector<std::string> out;
  for (const Checkpoint& c : list) out.push_back(c.id);
  return out;
}

}  // namespace redomark::testing
