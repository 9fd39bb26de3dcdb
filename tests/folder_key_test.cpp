// Folder keys: the kept characters of the last component and the FNV-1a hash
// of the whole path's bytes.
#include <gtest/gtest.h>

#include "core/store/checkpoint_store.h"

namespace redomark {
namespace {

std::string prefixOf(const std::string& key) { return key.substr(0, key.rfind('-') + 1); }
std::string hashOf(const std::string& key) { return key.substr(key.rfind('-') + 1); }

TEST(FolderKey, HashIsFnv1aOverTheWholePathInLowerCaseHex) {
  // Published 64-bit FNV-1a test vectors.
  EXPECT_EQ(folderKey("a"), "a-af63dc4c8601ec8c");
  EXPECT_EQ(folderKey("foobar"), "foobar-85944171f73967e8");

  const std::string here = folderKey("/Users/me/Site");
  const std::string there = folderKey("/Users/you/Site");
  EXPECT_EQ(prefixOf(here), "Site-");
  EXPECT_EQ(prefixOf(there), "Site-");
  EXPECT_NE(hashOf(here), hashOf(there));
  EXPECT_EQ(folderKey("/Users/me/Site"), here) << "stable across calls";

  // The bytes as they are: composed and decomposed spellings hash apart.
  const std::string composed = folderKey("/x/caf\u00e9");
  const std::string decomposed = folderKey("/x/cafe\u0301");
  EXPECT_EQ(prefixOf(composed), "caf\u00e9-");
  EXPECT_EQ(prefixOf(decomposed), "cafe\u0301-");
  EXPECT_NE(hashOf(composed), hashOf(decomposed));
  for (const std::string& key : {here, composed, decomposed}) {
    EXPECT_LE(hashOf(key).size(), 16u);
    EXPECT_EQ(hashOf(key).find_first_not_of("0123456789abcdef"), std::string::npos) << key;
  }
}

TEST(FolderKey, KeepsLettersNumbersDashAndUnderscoreOfTheLastComponent) {
  EXPECT_EQ(prefixOf(folderKey("/Users/me/My Site.final")), "MySitefinal-");
  EXPECT_EQ(prefixOf(folderKey("/Volumes/Data/Photos 2024 (old)")), "Photos2024old-");
  EXPECT_EQ(prefixOf(folderKey("/p/a-b_c.d!e@f")), "a-b_cdef-");
  EXPECT_EQ(prefixOf(folderKey("/p/\u5199\u771f \u00bd \u0663")), "\u5199\u771f\u00bd\u0663-")
      << "CJK letters, a vulgar fraction and an Arabic-Indic digit are kept";
  EXPECT_EQ(prefixOf(folderKey("/p/\U0001F44D\U0001F3FD ok")), "ok-") << "emoji are dropped";
  EXPECT_EQ(folderKey("/"), "-" + hashOf(folderKey("/")));
  EXPECT_EQ(prefixOf(folderKey("/p/.,;!")), "-");
}

TEST(FolderKey, CutsToThirtyTwoUserPerceivedCharacters) {
  EXPECT_EQ(prefixOf(folderKey("/p/" + std::string(40, 'x'))), std::string(32, 'x') + "-");
  EXPECT_EQ(prefixOf(folderKey("/p/" + std::string(32, 'y'))), std::string(32, 'y') + "-");

  // A letter with a combining accent is one character, kept whole.
  std::string accented;
  for (int i = 0; i < 40; ++i) accented += "e\u0301";
  std::string expected;
  for (int i = 0; i < 32; ++i) expected += "e\u0301";
  EXPECT_EQ(prefixOf(folderKey("/p/" + accented)), expected + "-");

  // A character is judged on its first scalar: a space carrying an accent goes,
  // dropped characters do not count towards the 32.
  EXPECT_EQ(prefixOf(folderKey("/p/a \u0301b")), "ab-");
  EXPECT_EQ(prefixOf(folderKey("/p/" + std::string(10, ' ') + std::string(33, 'z'))), std::string(32, 'z') + "-");
}

}  // namespace
}  // namespace redomark
