#include "core/operations/manifest_index.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace redomark
