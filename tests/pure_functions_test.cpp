// Pure functions, tested without volumes: text order and repair, folder keys,
// the mount table, the timeline, the manifest index, the thread range, and the
// coding of the store's records and manifests.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "core/fs/mount_table.h"
#include "core/fs/parallel_range.h"
#include "core/operations/manifest_index.h"
#include "core/records/json_writer.h"
#include "core/records/record_coding.h"
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
      // Monday to Sunday: 2026-03-01 is a Sunday.
      {0, 0, 2, 0, {"2026-03-01 12:00", "2026-03-02 12:00", "2026-03-08 12:00"}, {"2026-03-01 12:00", "2026-03-08 12:00"}},
      {0, 0, 0, 2, {"2026-01-01 00:10", "2026-01-31 23:50", "2026-02-01 00:10", "2026-02-28 20:00"},
       {"2026-01-31 23:50", "2026-02-28 20:00"}},
      // Kept by any of the four.
      {1, 1, 1, 3, {"2025-12-31 08:00", "2026-01-05 08:00", "2026-01-05 09:00"}, {"2025-12-31 08:00", "2026-01-05 09:00"}},
      {0, 0, 0, 0, {"2026-03-02 10:05", "2026-03-02 12:40"}, {}},
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

// The records the store keeps and the JSON they are written in.
Checkpoint exampleCheckpoint() {
  return {"20241204-191515-0c3e", "before refactor", Checkpoint::Kind::manual, "/Users/me/Projects/site",
          1733339715.4829741, 3, 48211, 0, {"notes/draft.txt"}};
}

const char* const exampleMeta = R"({
  "changedWhileSaving" : [
    "notes\/draft.txt"
  ],
  "createdAt" : 1733339715.4829741,
  "fileCount" : 3,
  "id" : "20241204-191515-0c3e",
  "kind" : "manual",
  "name" : "before refactor",
  "notClonedCount" : 0,
  "sourcePath" : "\/Users\/me\/Projects\/site",
  "totalBytes" : 48211
})";

TEST(StoreRecordCoding, WritesExactBytesAndReadsThemBack) {
  EXPECT_EQ(encodeStoreRecord(exampleCheckpoint()), exampleMeta);
  EXPECT_EQ(decodeStoreRecord(exampleMeta), exampleCheckpoint());

  // No name, another kind, an empty list and a whole number of seconds.
  const Checkpoint unnamed{"20241204-191515-0c3e", std::nullopt, Checkpoint::Kind::beforeRestore,
                           "/Users/me/Projects/site", 1733339715, 3, 48211, 0, {}};
  std::string expected = exampleMeta;
  expected.replace(expected.find("\n    \"notes"), 24, "\n\n");
  expected.replace(expected.find(".4829741"), 8, "");
  expected.replace(expected.find("\"manual\""), 8, "\"beforeRestore\"");
  expected.erase(expected.find("  \"name\""), 30);
  EXPECT_EQ(encodeStoreRecord(unnamed), expected);
  EXPECT_EQ(decodeStoreRecord(encodeStoreRecord(unnamed)), unnamed);
}

TEST(StoreRecordCoding, RefusesDamagedRecordsAndIgnoresUnknownKeys) {
  const std::string good = exampleMeta;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::vector<std::string> damaged = {
      replaced(R"("kind" : "manual")", R"("kind" : "Manual")"),
      replaced(R"("notClonedCount" : 0,)", ""),
      replaced(R"(1733339715.4829741)", R"("2024-12-04T19:15:15Z")"),
      replaced(R"("fileCount" : 3)", R"("fileCount" : "3")"),
      replaced(R"("fileCount" : 3)", R"("fileCount" : 3.5)"),
      replaced(R"("fileCount" : 3)", R"("fileCount" : 9223372036854775808)"),
      replaced(R"("name" : "before refactor")", R"("name" : 7)"),
      replaced(R"("notes\/draft.txt")", R"(12)"),
      good + "x",
      good.substr(0, good.size() - 1),
      "",
  };
  for (const auto& text : damaged) EXPECT_THROW(decodeStoreRecord(text), JsonError) << text;

  Checkpoint unnamed = exampleCheckpoint();
  unnamed.name.reset();
  EXPECT_EQ(decodeStoreRecord(replaced(R"("before refactor")", "null")), unnamed);
  EXPECT_EQ(decodeStoreRecord(replaced(R"("name" : "before refactor",)", "")), unnamed);
  EXPECT_EQ(decodeStoreRecord(replaced(R"("fileCount" : 3,)",
                                       R"("fileCount" : 3, "future" : {"k" : [1, null, "x"]}, "id2" : 5,)")),
            exampleCheckpoint());
  // A whole number written with a fraction or exponent is still that number.
  EXPECT_EQ(decodeStoreRecord(replaced(R"("fileCount" : 3)", R"("fileCount" : 3.0)")), exampleCheckpoint());
}

TEST(ManifestCoding, WritesCompactBytesAndReadsThemBack) {
  const std::vector<ManifestEntry> entries = {
      {"docs", EntryKind::directory, 0, 1733339700000000000},
      {"docs/a.txt", EntryKind::file, 1024, 1733339700123456789},
      {"docs/say \"hi\"\\\t.txt", EntryKind::symlink, 0, -5},
      {"caf\xC3\xA9/\xE2\x82\xAC", EntryKind::other, 0, 0},
  };
  const std::string expected =
      R"([{"p":"docs","k":"d","s":0,"m":1733339700000000000},)"
      R"({"p":"docs\/a.txt","k":"f","s":1024,"m":1733339700123456789},)"
      R"({"p":"docs\/say \"hi\"\\\t.txt","k":"l","s":0,"m":-5},)"
      "{\"p\":\"caf\xC3\xA9\\/\xE2\x82\xAC\",\"k\":\"o\",\"s\":0,\"m\":0}]";
  EXPECT_EQ(encodeManifest(entries), expected);
  EXPECT_EQ(decodeManifest(expected), entries);
  EXPECT_EQ(encodeManifest({}), "[]");
  EXPECT_TRUE(decodeManifest(" [ ] ").empty());
  EXPECT_EQ(decodeManifest(R"([{"m":1,"s":2,"extra":[{}],"k":"f","p":"x"}])"),
            (std::vector<ManifestEntry>{{"x", EntryKind::file, 2, 1}}));
  // The exact bytes win over the text on either side of it, and leave the next path whole.
  EXPECT_EQ(decodeManifest(R"([{"p":"a longer text","b":"eP8=","k":"f","s":2,"m":1},{"p":"y","k":"d","s":0,"m":3},)"
                           R"({"b":"eP4=","p":"x�","k":"f","s":4,"m":5},{"p":"z","k":"f","s":6,"m":7}])"),
            (std::vector<ManifestEntry>{{"x\xFF", EntryKind::file, 2, 1},
                                        {"y", EntryKind::directory, 0, 3},
                                        {"x\xFE", EntryKind::file, 4, 5},
                                        {"z", EntryKind::file, 6, 7}}));
  // One bad entry spoils the whole manifest.
  const std::string first = R"({"p":"a","k":"f","s":1,"m":2})";
  for (const std::string bad : {R"({"p":"b","k":"x","s":1,"m":2})", R"({"p":"b","k":"f","s":1})", R"({"k":"f","s":1,"m":2})",
                                R"({"p":"b","k":"f","s":"1","m":2})", R"({"p":"b","k":"f","s":1,"m":18446744073709551615})",
                                R"(["b","f",1,2])", "{\"p\":\"\xFF\",\"k\":\"f\",\"s\":1,\"m\":2}"})
    EXPECT_THROW(decodeManifest("[" + first + "," + bad + "]"), JsonError) << bad;
  EXPECT_THROW(decodeManifest(first), JsonError);
  EXPECT_THROW(decodeManifest("[" + first), JsonError);
}

// Large manifests are parsed in pieces: written here (with quotes, brackets
// and runs of backslashes in names, so that pieces cut inside their escapes),
// or not (where the start of an entry also appears inside one), they read
// as one text would.
TEST(ManifestCoding, ALargeManifestReadsAsOneTextWhateverItsPieces) {
  std::vector<ManifestEntry> entries, plain;
  std::string nested = "[";
  for (int i = 0; i < 20000; ++i) {
    entries.push_back({"d/\"f\",]}" + std::string(i % 4, '\\') + std::to_string(i) + std::string(i % 3, '\\'),
                       EntryKind::file, i, -i});
    const std::string name = "dir/file" + std::to_string(i);
    plain.push_back({name, EntryKind::file, i, -i});
    const std::string members = R"("p":")" + name + R"(","k":"f","s":)" + std::to_string(i) + R"(,"m":)" + std::to_string(-i);
    nested += std::string(i ? "," : "") + "{" + members + R"(,"x":[{"q":"q\\\"],[{\"q)" + std::string(52, 'q') +
              R"("},{"p":2}]})";
  }
  nested += "]";
  const std::string text = encodeManifest(entries);
  ASSERT_GT(text.size(), 3u << 18);  // several of the pieces it is parsed in
  EXPECT_EQ(decodeManifest(text), entries);
  EXPECT_EQ(decodeManifest(nested), plain);
  ManifestDecoder uneven;
  for (size_t at = 0, n = 1; at < text.size(); at += n, n = n % 7 + 1) uneven.add(text.substr(at, n));
  EXPECT_EQ(uneven.finish(), entries);
  ManifestDecoder unevenNested;  // read by the scan, whose pieces may end inside an escape
  for (size_t at = 0, n = 1; at < nested.size(); at += n, n = n % 7 + 1) unevenNested.add(nested.substr(at, n));
  EXPECT_EQ(unevenNested.finish(), plain);
  // Wanting one item passes over parts of the text, never one of its entries,
  // whichever pieces cut the entry's text.
  for (const size_t wanted : {size_t{0}, size_t{12345}, entries.size() - 1})
    for (const size_t piece : {4096, 61, 67, 71, 73, 79, 83}) {
      ManifestDecoder one;
      one.onlyWithin(entries[wanted].path);
      for (size_t at = 0; at < text.size(); at += piece) one.add(text.substr(at, piece));
      const std::vector<ManifestEntry> read = one.finish();
      EXPECT_LT(read.size(), entries.size() / 2);
      EXPECT_EQ(std::count(read.begin(), read.end(), entries[wanted]), 1) << wanted << " " << piece;
    }
  ManifestDecoder all;
  all.onlyWithin("d");
  all.add(text);
  EXPECT_EQ(all.finish(), entries);

  const size_t middle = text.find("},{", text.size() / 2) + 1;
  const std::string blanks(300 * 1024, ' ');
  for (const std::string& bad :
       {text.substr(0, middle) + "," + text.substr(middle), text.substr(0, text.size() - 1) + ",]",
        text.substr(0, middle) + "}" + text.substr(middle), "[" + blanks + "," + blanks + "]", text + "[]",
        nested.substr(0, nested.size() - 3) + "]"})
    EXPECT_THROW(decodeManifest(bad), JsonError) << bad.size();
  EXPECT_TRUE(decodeManifest("[" + blanks + "]").empty());
  // A missing member early and broken text late: the text is what is reported, as for a small one.
  const std::string both = R"([{"p":"a"},)" + text.substr(1, text.size() - 2) + ",}]";
  EXPECT_THROW(
      try { decodeManifest(both); } catch (const JsonError& e) {
        EXPECT_STREQ(e.what(), "The data couldn't be read because it isn't in the correct format.");
        throw;
      },
      JsonError);
}

TEST(JsonWriter, EscapesControlCharactersAndWritesNumbersThatReadBackExactlyButNoNaN) {
  JsonWriter out(JsonWriter::Layout::compact);
  out.beginArray();
  out.string(std::string("\x01\x1f\x7f\b\f\r\n\t\0/", 10));
  for (const double number : {0.1, 2.0, -1e300}) out.number(number);
  out.endArray();
  EXPECT_EQ(out.take(), "[\"\\u0001\\u001f\x7f\\b\\f\\r\\n\\t\\u0000\\/\",0.10000000000000001,2,-1.0000000000000001e+300]");
  EXPECT_THROW(JsonWriter(JsonWriter::Layout::compact).number(std::numeric_limits<double>::quiet_NaN()), JsonError);
}

}  // namespace
}  // namespace redomark
