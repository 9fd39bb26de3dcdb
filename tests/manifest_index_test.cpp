#include "core/operations/manifest_index.h"

#include <gtest/gtest.h>

namespace redomark {
namespace {

ManifestEntry file(std::string path, int64_t size = 1) { return ManifestEntry{std::move(path), EntryKind::file, size, 5}; }

const std::string composed = "caf\xC3\xA9";     // "café" with one scalar for é
const std::string decomposed = "cafe\xCC\x81";  // e followed by the combining acute

TEST(ManifestIndex, ClaimsEachPathOnceByItsBytesAndLetsTheLastDuplicateCount) {
  const std::vector<ManifestEntry> entries = {file("a"), file("dup"), file("b/" + decomposed), file("dup", 2),
                                              file(decomposed), file(composed), file("x\xFF"), file("x\xFE")};
  ManifestIndex index(entries);
  EXPECT_EQ(index.claim("missing"), ManifestIndex::npos);
  EXPECT_EQ(index.claim("a"), 0u);
  EXPECT_EQ(index.claim("a"), ManifestIndex::npos);
  EXPECT_EQ(index.claim("dup"), 3u);
  EXPECT_TRUE(index.claimed(1)) << "the replaced duplicate must never show up as deleted";
  // The two spellings of a name, and names that differ in an invalid byte, are different items.
  EXPECT_EQ(index.claim("b/" + composed), ManifestIndex::npos);
  EXPECT_EQ(index.claim(composed), 5u);
  EXPECT_FALSE(index.claimed(4));
  EXPECT_EQ(index.claim(decomposed), 4u);
  EXPECT_EQ(index.claim("x\xFE"), 7u);
  EXPECT_FALSE(index.claimed(6));

  // Enough entries to wrap probe runs around the table many times.
  std::vector<ManifestEntry> many;
  for (int i = 0; i < 5000; ++i) many.push_back(file("f" + std::to_string(i)));
  ManifestIndex big(many);
  for (int i = 4999; i >= 0; --i) ASSERT_EQ(big.claim("f" + std::to_string(i)), static_cast<size_t>(i));
}

}  // namespace
}  // namespace redomark
