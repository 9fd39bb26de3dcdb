#include "core/records/retention_policy.h"

#include <gtest/gtest.h>

#include "core/records/record_coding.h"

namespace redomark {
namespace {

TEST(SettingsCoding, WritesCompactObjectWithoutAbsentLimits) {
  EXPECT_EQ(encodeSettings(defaultRetentionPolicy), R"({"keepPerFolder":5,"maxTotalBytes":10737418240})");
  EXPECT_EQ(encodeSettings({.keepPerFolder = 3, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt}),
            R"({"keepPerFolder":3})");
  const RetentionPolicy full{.keepPerFolder = 0, .maxTotalBytes = 1, .maxAgeDays = 30};
  EXPECT_EQ(encodeSettings(full), R"({"keepPerFolder":0,"maxTotalBytes":1,"maxAgeDays":30})");
  EXPECT_EQ(decodeSettings(encodeSettings(full)), full);
}

TEST(SettingsCoding, ReadsMissingOrNullLimitsAsNoneAndRefusesBadFiles) {
  const RetentionPolicy onlyKeep{.keepPerFolder = 3, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt};
  EXPECT_EQ(decodeSettings(R"({"keepPerFolder" : 3})"), onlyKeep);
  EXPECT_EQ(decodeSettings(R"({"maxAgeDays":null,"keepPerFolder":3,"maxTotalBytes":null,"theme":"dark"})"),
            onlyKeep);
  EXPECT_EQ(decodeSettings(R"({"maxAgeDays":7,"keepPerFolder":3})"),
            (RetentionPolicy{.keepPerFolder = 3, .maxTotalBytes = std::nullopt, .maxAgeDays = 7}));

  for (const char* bad : {
           R"({"maxAgeDays":3})",
           R"({"keepPerFolder":null})",
           R"({"keepPerFolder":"5"})",
           R"({"keepPerFolder":-1})",
           R"({"keepPerFolder":2.5})",
           R"({"keepPerFolder":5,"maxTotalBytes":"10 GB"})",
           R"([5])",
           "",
       }) {
    EXPECT_THROW(decodeSettings(bad), JsonError) << bad;
  }
}

}  // namespace
}  // namespace redomark
