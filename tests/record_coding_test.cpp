#include "core/records/record_coding.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/records/json_writer.h"

namespace redomark {
namespace {

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
    nested += std::string(i ? "," : "") + "{" + members + R"(,"x":[{"q":")" + std::string(60, 'q') + R"("},{"p":2}]})";
  }
  nested += "]";
  const std::string text = encodeManifest(entries);
  ASSERT_GT(text.size(), 3u << 18);  // several of the pieces it is parsed in
  EXPECT_EQ(decodeManifest(text), entries);
  EXPECT_EQ(decodeManifest(nested), plain);
  ManifestDecoder uneven;
  for (size_t at = 0, n = 1; at < text.size(); at += n, n = n % 7 + 1) uneven.add(text.substr(at, n));
  EXPECT_EQ(uneven.finish(), entries);
  // Wanting one item passes over parts of the text, never one of its entries.
  for (const size_t wanted : {size_t{0}, size_t{12345}, entries.size() - 1}) {
    ManifestDecoder one;
    one.onlyWithin(entries[wanted].path);
    for (size_t at = 0; at < text.size(); at += 4096) one.add(text.substr(at, 4096));
    const std::vector<ManifestEntry> read = one.finish();
    EXPECT_LT(read.size(), entries.size() / 2);
    EXPECT_EQ(std::count(read.begin(), read.end(), entries[wanted]), 1) << wanted;
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

TEST(JsonWriter, EscapesControlCharactersAndWritesNumbersThatReadBackExactly) {
  JsonWriter out(JsonWriter::Layout::compact);
  out.beginArray();
  out.string(std::string("\x01\x1f\x7f\b\f\r\n\t\0/", 10));
  for (const double number : {0.1, 2.0, -1e300}) out.number(number);
  out.endArray();
  EXPECT_EQ(out.take(), "[\"\\u0001\\u001f\x7f\\b\\f\\r\\n\\t\\u0000\\/\",0.10000000000000001,2,-1.0000000000000001e+300]");
}

}  // namespace
}  // namespace redomark
