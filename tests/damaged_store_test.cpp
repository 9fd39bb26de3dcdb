// A store damaged by hand or by another program: broken records and manifests,
// and symbolic links planted where the store keeps its own directories and
// files. The engine must skip or refuse them, never crash, and never read or
// change anything outside the folder and the store.
#include "core/records/record_coding.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

namespace fs = std::filesystem;

// A folder, its store with checkpoints laid out as a save leaves them, and a
// tree outside both that nothing may touch.
struct DamagedStore {
  DamagedStore() {
    writeFiles(scratch / "folder", {{"a.txt", "alpha"}, {"sub/b.txt", "bravo"}});
    // The big file written, not cloned: its blocks are its own, so counting it would show.
    writeFiles(outside, {{"keep.txt", "not the store's"}, {"data/big.bin", std::string(1 << 20, 'x')},
                         {"manifest.json", R"([{"p":"outside-only.txt","k":"f","s":1,"m":0}])"}});
  }
  std::string directoryOf(const Checkpoint& c) const { return engine.storeFor(folder).checkpointDirectory(c); }
  std::string folderDirectory() const { return engine.storeFor(folder).folderDirectory(folder); }
  Checkpoint save() { return engine.save(folder, std::nullopt, nullptr); }

  ScratchDir scratch{Volume::btrfs};
  std::string folder = canonicalPath(scratch.path()) + "/folder", outside = scratch / "outside";
  Redomark engine{scratch / "store"};
};

TEST(DamagedStore, BrokenRecordsHideOnlyTheirCheckpointAndBrokenManifestsFailTheDiffAlone) {
  DamagedStore s;
  const Checkpoint truncated = s.save(), intact = s.save();
  const std::string truncatedMeta = s.directoryOf(truncated) + "/meta.json";
  writeFile(truncatedMeta, readFile(truncatedMeta).substr(0, 40));
  Checkpoint escape = intact;
  escape.id = "../../outside";
  writeFiles(s.folderDirectory(), {{"20990101-000000-0000/meta.json", encodeStoreRecord(escape)}});

  EXPECT_EQ(ids(s.engine.listCheckpoints(s.folder)), std::vector<std::string>{intact.id});
  for (const std::string& id : {truncated.id, std::string("../")})
    EXPECT_EQ(errorOf([&] { s.engine.diff(s.folder, id); }).errorCase(), RedomarkError::Case::checkpointNotFound);
  EXPECT_TRUE(s.engine.diff(s.folder, std::nullopt).changes.empty());

  // A broken manifest fails the diff of its checkpoint alone (its shapes are the record coding tests').
  const std::string manifest = s.directoryOf(intact) + "/manifest.json";
  writeFile(manifest, R"([{"p":"a.txt","k":"f"}])");
  EXPECT_THROW(s.engine.diff(s.folder, intact.id), JsonError);
  EXPECT_EQ(ids(s.engine.listCheckpoints(s.folder)), std::vector<std::string>{intact.id});
  fs::remove(manifest);
  EXPECT_THROW(s.engine.diff(s.folder, intact.id), RedomarkError);
}

TEST(DamagedStore, PlantedLinksNeverLeadAReadOrAWriteOutsideTheStore) {
  DamagedStore s;
  const auto outsideBefore = snapshotTree(s.outside);
  // A checkpoint directory swapped for a link is the catalog's test. "data"
  // itself a link, and a "data" tree holding a link: neither is walked for the
  // space count (only their own records count, never the mebibyte behind the
  // links) nor followed by a deletion.
  const Checkpoint linkedData = s.save(), linkInside = s.save();
  fs::remove_all(s.directoryOf(linkedData) + "/data");
  fs::create_directory_symlink(s.outside + "/data", s.directoryOf(linkedData) + "/data");
  const int64_t ownBytes = s.engine.spaceUsed(linkInside);
  fs::create_directory_symlink(s.outside, s.directoryOf(linkInside) + "/data/escape");
  EXPECT_TRUE(dataAndFewRecords(s.engine.spaceUsed(linkedData), 0));
  EXPECT_TRUE(dataAndFewRecords(s.engine.spaceUsed(linkInside), ownBytes - 1));
  // A manifest that is a link to one outside is not read.
  const Checkpoint linkedManifest = s.save();
  fs::remove(s.directoryOf(linkedManifest) + "/manifest.json");
  fs::create_symlink(s.outside + "/manifest.json", s.directoryOf(linkedManifest) + "/manifest.json");
  EXPECT_THROW(s.engine.diff(s.folder, linkedManifest.id), RedomarkError);
  for (const Checkpoint& c : {linkedData, linkInside, linkedManifest}) s.engine.deleteCheckpoint(c);
  EXPECT_TRUE(s.engine.listCheckpoints(s.folder).empty());

  // Leftover names planted as links are removed as links, as before every save.
  const Checkpoint next = s.save();
  for (const char* name : {"/20240101-000000-0000.partial", "/.deleting-20240101-000000-0001"})
    fs::create_directory_symlink(s.outside, s.folderDirectory() + name);
  s.engine.storeFor(s.folder).removeLeftovers(s.folder);
  EXPECT_EQ(sortedNames(s.folderDirectory()), (std::vector<std::string>{".lock", next.id}));
  EXPECT_EQ(snapshotTree(s.outside), outsideBefore);
  EXPECT_EQ(readFile(s.folder + "/a.txt"), "alpha");
}

}  // namespace
}  // namespace redomark::testing
