#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "core/fs/file_ops.h"
#include "core/operations/redomark.h"
#include "core/records/record_coding.h"
#include "core/records/redomark_error.h"
#include "core/store/checkpoint_store.h"
#include "tests/engine_test_support.h"

namespace redomark {
namespace {

using testing::ScratchDir;
using testing::TemporaryHome;
using testing::Volume;
using testing::writeFile;

std::vector<std::string> describe(const std::vector<Change>& changes) {
  std::vector<std::string> lines;
  for (const Change& c : changes) {
    const char* kind = c.kind == Change::Kind::added ? "added" : c.kind == Change::Kind::modified ? "modified" : "deleted";
    lines.push_back(std::string(kind) + " " + c.path + (c.isDirectory ? " dir" : "") + " now=" +
                    (c.currentSize ? std::to_string(*c.currentSize) : "-") +
                    " saved=" + (c.savedSize ? std::to_string(*c.savedSize) : "-"));
  }
  return lines;
}

TEST(SaveAndDiff, SavesIntoTheDefaultStoreAndDiffReportsEveryEditExactly) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const std::string folder = scratch / "site";
  testing::makeDirectory(folder);
  testing::makeDirectory(folder + "/sub");
  testing::makeDirectory(folder + "/sub/deep");
  writeFile(folder + "/a.txt", "hello");
  writeFile(folder + "/sub/b.txt", "bravo!");
  writeFile(folder + "/sub/deep/c", "c");
  writeFile(folder + "/gone.txt", "to be deleted");
  writeFile(folder + "/becomesDir", "xyz");
  writeFile(folder + "/cafe\u0301.txt", "decomposed");  // stored in decomposed form
  ASSERT_EQ(symlink("a.txt", (folder + "/link").c_str()), 0);

  const Redomark engine;
  EXPECT_EQ(engine.defaultStoreRoot(), home.defaultStoreRoot());
  const Checkpoint saved = engine.save(folder + "/sub/..", std::string("first"), nullptr);
  EXPECT_TRUE(std::regex_match(saved.id, std::regex("[0-9]{8}-[0-9]{6}-[0-9a-f]{4}")));
  EXPECT_EQ(saved.name, std::optional<std::string>("first"));
  EXPECT_EQ(saved.kind, Checkpoint::Kind::manual);
  EXPECT_EQ(saved.sourcePath, folder);
  EXPECT_EQ(saved.fileCount, 7);  // six files and the link
  EXPECT_EQ(saved.totalBytes, 5 + 6 + 1 + 13 + 3 + 10);
  EXPECT_EQ(saved.notClonedCount, 0);
  EXPECT_TRUE(saved.changedWhileSaving.empty());

  const CheckpointStore store(home.defaultStoreRoot());
  const std::string dir = store.checkpointDirectory(saved);
  EXPECT_EQ(testing::sortedNames(dir), (std::vector<std::string>{"data", "manifest.json", "meta.json"}));
  EXPECT_EQ(readWholeFile(dir + "/data/sub/b.txt"), std::optional<std::string>("bravo!"));
  EXPECT_EQ(decodeStoreRecord(*readWholeFile(dir + "/meta.json")), saved);
  EXPECT_EQ(decodeManifest(*readWholeFile(dir + "/manifest.json")).size(), 9u);
  for (const std::string& name : testing::sortedNames(store.folderDirectory(folder)))
    EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
  EXPECT_EQ(engine.listCheckpoints(folder), std::vector<Checkpoint>{saved});
  EXPECT_TRUE(engine.diff(folder, std::nullopt).changes.empty());

  const int64_t aTime = testing::mtimeNs(folder + "/a.txt");
  const int64_t bTime = testing::mtimeNs(folder + "/sub/b.txt");
  writeFile(folder + "/a.txt", "HELLO");
  testing::setMtimeNs(folder + "/a.txt", aTime + 1);  // same size, one nanosecond later
  writeFile(folder + "/sub/b.txt", "BRAVO!");
  testing::setMtimeNs(folder + "/sub/b.txt", bTime);  // same size and time: not seen as changed
  writeFile(folder + "/new.txt", "news");
  writeFile(folder + "/sub/deep/d", "dd");
  ASSERT_EQ(unlink((folder + "/gone.txt").c_str()), 0);
  ASSERT_EQ(unlink((folder + "/becomesDir").c_str()), 0);
  testing::makeDirectory(folder + "/becomesDir");
  writeFile(folder + "/becomesDir/inner", "in");
  ASSERT_EQ(rename((folder + "/cafe\u0301.txt").c_str(), (folder + "/caf\u00e9.txt").c_str()), 0);

  const DiffResult result = engine.diff(folder, std::nullopt);
  EXPECT_EQ(result.checkpoint, saved);
  EXPECT_EQ(describe(result.changes), (std::vector<std::string>{
                                          "modified a.txt now=5 saved=5",
                                          "modified becomesDir dir now=0 saved=3",
                                          "added becomesDir/inner now=2 saved=-",
                                          "deleted gone.txt now=- saved=13",
                                          "added new.txt now=4 saved=-",
                                          "added sub/deep/d now=2 saved=-",
                                      }));
  EXPECT_EQ(engine.diff(folder, std::string("latest")).changes, result.changes);
  EXPECT_EQ(engine.diff(folder, saved.id.substr(0, 12)).checkpoint, saved);

  // A folder that is gone reports every saved entry, directories included, as deleted.
  removeTree(folder);
  const std::vector<Change> gone = engine.diff(folder, std::nullopt).changes;
  ASSERT_EQ(gone.size(), 9u);
  EXPECT_EQ(describe({gone[0], gone[2], gone[5]}),
            (std::vector<std::string>{"deleted a.txt now=- saved=5", "deleted cafe\u0301.txt now=- saved=10",
                                      "deleted sub dir now=- saved=0"}));
  for (const Change& c : gone) EXPECT_EQ(c.kind, Change::Kind::deleted) << c.path;
}

TEST(SaveAndDiff, OrdersChangesByTextAndFailsWithoutCheckpoints) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch.path();
  try {
    engine.diff(folder, std::nullopt);
    ADD_FAILURE() << "diff without checkpoints succeeded";
  } catch (const RedomarkError& e) {
    EXPECT_STREQ(e.what(), ("There are no saved redomarks for " + folder + ".").c_str());
  }
  engine.save(folder, std::nullopt, nullptr);
  testing::makeDirectory(folder + "/a");
  for (const char* name : {"a0", "a/b", "a-b", "a b", "\u00e9", "z"}) writeFile(folder + "/" + name, "");
  std::vector<std::string> paths;
  for (const Change& c : engine.diff(folder, std::nullopt).changes) paths.push_back(c.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"a", "a b", "a-b", "a/b", "a0", "z", "\u00e9"}));
}

}  // namespace
}  // namespace redomark
