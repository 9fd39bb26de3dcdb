#include "core/operations/manifest_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "core/fs/walker.h"
#include "core/operations/redomark.h"
#include "core/records/record_coding.h"
#include "core/store/checkpoint_store.h"
#include "tests/test_volumes.h"

namespace redomark {
namespace {

ManifestEntry file(std::string path, int64_t size = 1) { return ManifestEntry{std::move(path), EntryKind::file, size, 5}; }

const std::string composed = "caf\xC3\xA9";     // "café" with one scalar for é
const std::string decomposed = "cafe\xCC\x81";  // e followed by the combining acute

TEST(ManifestIndex, ClaimsEachPathOnceMatchingNfcAndLetsTheLastDuplicateCount) {
  const std::vector<ManifestEntry> entries = {file("a"), file("dup"), file("b/" + decomposed), file("dup", 2),
                                              file(decomposed)};
  ManifestIndex nfc(entries, true);
  EXPECT_EQ(nfc.claim("missing"), ManifestIndex::npos);
  EXPECT_EQ(nfc.claim("a"), 0u);
  EXPECT_EQ(nfc.claim("a"), ManifestIndex::npos);
  EXPECT_EQ(nfc.claim("dup"), 3u);
  EXPECT_TRUE(nfc.claimed(1)) << "the replaced duplicate must never show up as deleted";
  EXPECT_EQ(nfc.claim("b/" + composed), 2u);
  EXPECT_EQ(nfc.claim(decomposed), ManifestIndex::npos) << "keys are NFC; callers compose their side";
  EXPECT_FALSE(nfc.claimed(4));
  EXPECT_EQ(nfc.claim(composed), 4u);

  ManifestIndex exact(entries, false);
  EXPECT_EQ(exact.claim(composed), ManifestIndex::npos);
  EXPECT_EQ(exact.claim(decomposed), 4u);

  // Enough entries to wrap probe runs around the table many times.
  std::vector<ManifestEntry> many;
  for (int i = 0; i < 5000; ++i) many.push_back(file("f" + std::to_string(i)));
  ManifestIndex big(many, true);
  for (int i = 4999; i >= 0; --i) ASSERT_EQ(big.claim("f" + std::to_string(i)), static_cast<size_t>(i));
}

void writeFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

TEST(ManifestIndex, DiffReportsAddedModifiedAndDeletedAgainstAHandWrittenManifest) {
  testing::ScratchDir scratch(testing::Volume::noClone);
  const std::string folder = scratch / "folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0755), 0);
  writeFile(folder + "/same", "1");
  writeFile(folder + "/grows", "1");
  writeFile(folder + "/sub/gone", "1");
  writeFile(folder + "/" + composed, "1");
  std::vector<ManifestEntry> manifest;
  walk(folder, nullptr, [&](const WalkEntry& e) { manifest.push_back({e.path, e.kind, e.size, e.mtimeNs}); });

  const CheckpointStore store(scratch / "store");
  Checkpoint checkpoint;
  checkpoint.id = "20240101-000000-0000";
  checkpoint.sourcePath = folder;
  const std::string directory = store.checkpointDirectory(checkpoint);
  ASSERT_EQ(system(("mkdir -p '" + directory + "'").c_str()), 0);
  writeFile(directory + "/manifest.json", encodeManifest(manifest));

  writeFile(folder + "/grows", "123");
  ASSERT_EQ(unlink((folder + "/sub/gone").c_str()), 0);
  writeFile(folder + "/new", "12");
  // The saved composed name is now spelled decomposed: the same item, unchanged.
  ASSERT_EQ(rename((folder + "/" + composed).c_str(), (folder + "/" + decomposed).c_str()), 0);

  const std::vector<Change> expected = {
      {"grows", Change::Kind::modified, false, 3, 1},
      {"new", Change::Kind::added, false, 2, std::nullopt},
      {"sub/gone", Change::Kind::deleted, false, std::nullopt, 1},
  };
  EXPECT_EQ(Redomark::computeChanges(folder, checkpoint, store), expected);
}

}  // namespace
}  // namespace redomark
