// Folder keys: the kept characters of the last component and the FNV-1a hash
// of the whole path's bytes.
#include <gtest/gtest.h>

#include "core/store/checkpoint_store.h"

namespace redomark {
namespace {

std::string prefixOf(const std::string& path) {
  const std::string key = folderKey(path);
  return key.substr(0, key.rfind('-') + 1);
}
std::string hashOf(const std::string& path) {
  const std::string key = folderKey(path);
  return key.substr(key.rfind('-') + 1);
}

TEST(FolderKey, HashesTheWholePathsBytesWithFnv1a) {
  // Published 64-bit FNV-1a test vectors.
  EXPECT_EQ(folderKey("a"), "a-af63dc4c8601ec8c");
  EXPECT_EQ(folderKey("foobar"), "foobar-85944171f73967e8");
  EXPECT_NE(hashOf("/Users/me/Site"), hashOf("/Users/you/Site"));
  // Composed and decomposed spellings hash apart: the bytes count as they are.
  EXPECT_NE(hashOf("/x/caf\u00e9"), hashOf("/x/cafe\u0301"));
  EXPECT_EQ(folderKey("/"), "-" + hashOf("/"));
}

TEST(FolderKey, KeepsUpToThirtyTwoLettersNumbersDashesAndUnderscores) {
  EXPECT_EQ(prefixOf("/Users/me/My Site.final"), "MySitefinal-");
  EXPECT_EQ(prefixOf("/Volumes/Data/Photos 2024 (old)"), "Photos2024old-");
  EXPECT_EQ(prefixOf("/p/a-b_c.d!e"), "a-b_cde-");
  EXPECT_EQ(prefixOf("/p/\u5199\u771f \u00bd \u0663 \U0001F44D\U0001F3FD"), "\u5199\u771f\u00bd\u0663-")
      << "CJK letters, a fraction and an Arabic-Indic digit stay, emoji go";
  EXPECT_EQ(prefixOf("/p/" + std::string(10, ' ') + std::string(40, 'x')), std::string(32, 'x') + "-");

  // A character is a grapheme cluster, judged on its first scalar and kept whole.
  std::string accented, expected;
  for (int i = 0; i < 40; ++i) accented += "e\u0301";
  for (int i = 0; i < 32; ++i) expected += "e\u0301";
  EXPECT_EQ(prefixOf("/p/" + accented), expected + "-");
  EXPECT_EQ(prefixOf("/p/a \u0301b"), "ab-");
}

}  // namespace
}  // namespace redomark
