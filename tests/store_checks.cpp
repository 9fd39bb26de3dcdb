#include "tests/store_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/fs/walker.h"
#include "core/records/record_coding.h"
#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {

std::vector<Checkpoint> expectWholeCheckpoints(const Redomark& engine, const std::string& folder) {
  const std::vector<Checkpoint> listed = engine.listCheckpoints(folder);
  for (const Checkpoint& c : listed) {
    const CheckpointStore store = engine.storeFor(c.sourcePath);
    const std::string dir = store.checkpointDirectory(c);
    try {
      EXPECT_EQ(decodeStoreRecord(readFile(dir + "/meta.json")), c) << dir;
      std::map<std::string, ManifestEntry> manifest, saved;
      for (ManifestEntry& e : decodeManifest(readFile(dir + "/manifest.json"))) manifest[e.path] = std::move(e);
      walk(dir + "/data", nullptr,
           [&](const WalkEntry& e) { saved[e.path] = ManifestEntry{e.path, e.kind, e.size, e.mtimeNs}; });
      EXPECT_EQ(saved, manifest) << dir << ": the saved tree differs from its manifest";
    } catch (const std::exception& e) {
      ADD_FAILURE() << dir << " is listed but not whole: " << e.what();
    }
  }
  return listed;
}

std::vector<std::string> leftoverNames(const std::string& directory) {
  std::vector<std::string> names = sortedNames(directory);
  std::erase_if(names, [](const std::string& n) {
    return !n.ends_with(".partial") && !n.starts_with(".deleting-") && !n.starts_with(".redomark-restore-");
  });
  return names;
}

bool matchesPattern(const std::string& text, const std::string& pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string::npos) return text == pattern;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  const std::string rest = pattern.substr(star + 1);
  for (size_t at = star; at <= text.size(); ++at)
    if (matchesPattern(text.substr(at), rest)) return true;
  return false;
}

}  // namespace redomark::testing
