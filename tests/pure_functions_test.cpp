// Pure functions, tested without volumes: text order and repair, folder keys,
// the mount table, the timeline, the manifest index and the thread range.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "core/fs/mount_table.h"
#include "core/fs/parallel_range.h"
#include "core/operations/manifest_index.h"
#include "core/records/unicode_text.h"
#include "core/store/checkpoint_store.h"
#include "core/store/timeline.h"

namespace redomark {
namespace {

const std::string composed = "caf\xC3\xA9";    // café with U+00E9
const std::string decomposed = "cafe\xCC\x81";  // café with e + U+0301

// NFKC in place of NFC fails the order below (U+FF21 would become "A").
TEST(UnicodeText, OrdersByScalarValuesOfComposedFormsAndRepairsEachIllFormedSequence) {
  // Byte for byte, "cafe" + U+0301 sorts before "caff"; composed, U+00E9 sorts
  // after it, and before U+FF21 (three bytes), as scalar values do.
  std::vector<std::string> names = {"zeta", "caf\xEF\xBC\xA1", decomposed, "caff", "Zeta", "caf"};
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return nfcLess(a, b); });
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "caf", "caff", decomposed, "caf\xEF\xBC\xA1", "zeta"}));
  EXPECT_FALSE(nfcLess(decomposed, composed) || nfcLess(composed, decomposed));

  const std::string fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> repairs[] = {
      {composed + " \xE2\x82\xAC \xF0\x9F\x93\x81", composed + " \xE2\x82\xAC \xF0\x9F\x93\x81"},
      {"a\xFF" "b", "a" + fffd + "b"},
      {"end\xE2\x82", "end" + fffd + fffd},   // truncated three-byte sequence, byte by byte
      {"\xC0\xAF", fffd + fffd},              // overlong "/"
      {"\xED\xA0\x80", fffd + fffd + fffd},   // encoded surrogate
      {"\x80\x80x", fffd + fffd + "x"},       // stray continuation bytes
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [text, repaired] : repairs) EXPECT_EQ(repairUtf8(text), repaired) << text;
}

// The kept characters of the last component (up to 32 letters, numbers,
// dashes and underscores, grapheme clusters judged on their first scalar and
// kept whole) and the 64-bit FNV-1a hash of the whole path's bytes.
TEST(FolderKey, KeepsLettersNumbersDashesAndUnderscoresAndHashesTheWholePathsBytes) {
  std::string accented, kept;
  for (int i = 0; i < 40; ++i) accented += "e\u0301";
  for (int i = 0; i < 32; ++i) kept += "e\u0301";
  const std::pair<std::string, std::string> prefixes[] = {
      {"/Users/me/My Site.fi-n_a!l", "MySitefi-n_al-"},
      // CJK letters, a fraction and an Arabic-Indic digit stay, emoji go.
      {"/p/\u5199\u771f \u00bd \u0663 \U0001F44D\U0001F3FD", "\u5199\u771f\u00bd\u0663-"},
      {"/p/" + std::string(10, ' ') + std::string(40, 'x'), std::string(32, 'x') + "-"},
      {"/p/" + accented, kept + "-"},
      {"/p/a \u0301b", "ab-"},
  };
  for (const auto& [path, prefix] : prefixes) {
    const std::string key = folderKey(path);
    EXPECT_EQ(key.substr(0, key.rfind('-') + 1), prefix) << path;
  }
  // Published test vectors; composed and decomposed spellings hash apart.
  EXPECT_EQ(folderKey("a"), "a-af63dc4c8601ec8c");
  EXPECT_EQ(folderKey("foobar"), "foobar-85944171f73967e8");
  const auto hash = [](const std::string& path) { return folderKey(path).substr(folderKey(path).rfind('-') + 1); };
  EXPECT_EQ(folderKey("/"), "-" + hash("/"));
  EXPECT_NE(hash("/x/" + composed), hash("/x/" + decomposed));
  EXPECT_NE(hash("/Users/me/Site"), hash("/Users/you/Site"));
}

TEST(MountTable, LongestContainingMountPointWinsAndTheLastOfEqualOnesWithEscapesDecoded) {
  const char* const table =
      "22 1 252:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "33 30 0:41 /sub /mnt/my\\040disk\\134x rw - btrfs /dev/loop1 rw\n"
      "30 22 0:26 / /mnt rw shared:5 master:2 - tmpfs tmpfs rw\n"
      "31 30 0:40 / /mnt/data rw - btrfs /dev/loop0 rw,subvol=/\n"
      "garbage line without separator\n"
      "34 31 7:3 / /mnt/data rw - xfs /dev/loop3 rw\n"
      "35 30 0:50 / /mnt/tab\\011name rw - fuse.sshfs host:/ rw";
  const std::pair<const char*, const char*> cases[] = {
      {"/home/user", "/ ext4"},
      {"/mnt", "/mnt tmpfs"},
      {"/mnt/data/deep/inside", "/mnt/data xfs"},  // the later line hides the earlier at the same place
      {"/mnt/datax", "/mnt tmpfs"},  // a mount point is a whole component, not a string prefix
      {"relative/path", "none"},
      {"/mnt/my disk\\x/folder", "/mnt/my disk\\x btrfs"},
      {"/mnt/my\\040disk\\134x", "/mnt tmpfs"},
      {"/mnt/tab\tname", "/mnt/tab\tname fuse.sshfs"},
  };
  for (const auto& [path, found] : cases) {
    const std::optional<MountEntry> m = findMount(table, path);
    EXPECT_EQ(m ? m->mountPoint + " " + m->fsType : "none", found) << path;
  }
  EXPECT_EQ(findMount("", "/x"), std::nullopt);
}

// Which automatic checkpoints the timeline keeps, in a zone one hour east of
// UTC so that local days, ISO weeks and months differ from UTC's.
TEST(Timeline, KeepsTheNewestOfEachOfTheMostRecentLocalHoursDaysWeeksAndMonths) {
  constexpr double east = 3600;
  const auto calendar = [](double seconds) {
    const auto local = static_cast<std::time_t>(seconds + east);
    std::tm out{};
    gmtime_r(&local, &out);
    return out;
  };
  struct Case {
    int64_t hours, days, weeks, months;
    std::vector<std::string> automatic;  // oldest first, local "2026-03-02 10:15"
    std::set<std::string> kept;
  };
  const Case cases[] = {
      {2, 0, 0, 0, {"2026-03-02 10:05", "2026-03-02 10:50", "2026-03-02 11:10", "2026-03-02 12:20", "2026-03-02 12:40"},
       {"2026-03-02 11:10", "2026-03-02 12:40"}},
      // Only hours that have one count.
      {3, 0, 0, 0, {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"},
       {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"}},
      // 00:30 in the zone is still the day before in UTC.
      {0, 2, 0, 0, {"2026-03-01 23:30", "2026-03-02 00:30", "2026-03-02 09:00"}, {"2026-03-01 23:30", "2026-03-02 09:00"}},
      // Monday to Sunday: 2026-03-01 is a Sunday; ISO week 1 of 2026 began on 2025-12-29.
      {0, 0, 2, 0, {"2026-03-01 12:00", "2026-03-02 12:00", "2026-03-08 12:00"}, {"2026-03-01 12:00", "2026-03-08 12:00"}},
      {0, 0, 2, 0, {"2025-12-28 12:00", "2025-12-30 12:00", "2026-01-02 12:00"}, {"2025-12-28 12:00", "2026-01-02 12:00"}},
      {0, 0, 0, 2, {"2026-01-01 00:10", "2026-01-31 23:50", "2026-02-01 00:10", "2026-02-28 20:00"},
       {"2026-01-31 23:50", "2026-02-28 20:00"}},
      // Kept by any of the four.
      {1, 1, 1, 3, {"2025-12-31 08:00", "2026-01-05 08:00", "2026-01-05 09:00"}, {"2025-12-31 08:00", "2026-01-05 09:00"}},
  };
  for (const Case& c : cases) {
    RetentionPolicy policy;
    policy.keepHourly = c.hours, policy.keepDaily = c.days, policy.keepWeekly = c.weeks, policy.keepMonthly = c.months;
    // Checkpoints of the other kinds at the same moments are never chosen.
    std::vector<Checkpoint> list;
    for (const std::string& moment : c.automatic) {
      std::tm t{};
      strptime(moment.c_str(), "%Y-%m-%d %H:%M", &t);
      for (const auto kind : {Checkpoint::Kind::manual, Checkpoint::Kind::automatic, Checkpoint::Kind::beforeRestore})
        list.push_back(Checkpoint{kind == Checkpoint::Kind::automatic ? moment : moment + " " + std::to_string(int(kind)),
                                  std::nullopt, kind, "/f", static_cast<double>(timegm(&t)) - east, 0, 0, 0, {}});
    }
    EXPECT_EQ(keptOnTimeline(list, policy, calendar), c.kept) << c.automatic.front() << " " << c.hours << c.days;
  }
}

TEST(ManifestIndex, ClaimsEachPathOnceByItsBytesAndLetsTheLastDuplicateCount) {
  const auto file = [](std::string path, int64_t size = 1) { return ManifestEntry{std::move(path), EntryKind::file, size, 5}; };
  // The index refers to the entries, which must outlive it.
  const std::vector<ManifestEntry> entries = {file("a"), file("dup"), file("b/" + decomposed), file("dup", 2),
                                              file(decomposed), file(composed), file("x\xFF"), file("x\xFE")};
  ManifestIndex index(entries);
  // The two spellings of a name, and names that differ in an invalid byte, are different items.
  const std::pair<std::string, size_t> claims[] = {{"missing", ManifestIndex::npos}, {"a", 0}, {"a", ManifestIndex::npos},
                                                    {"dup", 3}, {"b/" + composed, ManifestIndex::npos}, {composed, 5},
                                                    {decomposed, 4}, {"x\xFE", 7}};
  for (const auto& [path, at] : claims) EXPECT_EQ(index.claim(path), at) << path;
  EXPECT_TRUE(index.claimed(1)) << "the replaced duplicate must never show up as deleted";
  EXPECT_FALSE(index.claimed(6));
  // Enough entries to wrap probe runs around the table many times.
  std::vector<ManifestEntry> many;
  for (int i = 0; i < 5000; ++i) many.push_back(file("f" + std::to_string(i)));
  ManifestIndex big(many);
  for (int i = 4999; i >= 0; --i) ASSERT_EQ(big.claim("f" + std::to_string(i)), static_cast<size_t>(i));
}

// Every index exactly once per run, every result visible when run returns, job after job.
TEST(ParallelRange, EachIndexOnceAndEveryResultVisibleOnReturn) {
  for (size_t helpers : {0u, 1u, 3u}) {
    ParallelRange pool(helpers);
    std::vector<int> hits;
    for (size_t count : {0u, 1u, 5u, 9u, 1000u, 3u, 10000u}) {
      for (int job = 0; job < 20; ++job) {
        hits.assign(count, 0);
        pool.run(count, [&](size_t i) { hits[i] += 1 + static_cast<int>(i % 7); });
        size_t wrong = 0;
        for (size_t i = 0; i < count; ++i) wrong += hits[i] != 1 + static_cast<int>(i % 7);
        ASSERT_EQ(wrong, 0u) << "helpers " << helpers << ", count " << count << ", job " << job;
      }
    }
  }
}

}  // namespace
}  // namespace redomark
