// show and the extended diff through the built tool, on Btrfs and XFS: exact
// bytes, patches as GNU diff prints them, errors, and nothing changed on disk.
// Names are their bytes: spellings that Unicode calls equivalent, and names
// that differ only in bytes that aren't UTF-8, are different items everywhere.

#include "core/store/held_checkpoint.h"
#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

constexpr int64_t savedTime = 1733339700123456789;  // 2024-12-04T19:15:00Z

// What GNU diff itself prints for the pair, with the labels of a patch.
std::string gnuDiff(const std::string& before, const std::string& after, const std::string& beforeLabel,
                    const std::string& afterLabel) {
  return outputOf("LC_ALL=C /usr/bin/diff -u --label '" + beforeLabel + "' --label '" + afterLabel + "' '" + before +
                  "' '" + after + "'");
}

TEST_F(CommandLine, ShowAndDiffReadThePastWithoutChangingIt) {
  for (Volume volume : {Volume::btrfs, Volume::xfs}) {
    ScratchDir scratchFolder(volume);
    const std::string folder = scratchFolder.path();
    writeFiles(folder, {{"a.txt", "one\ntwo\nthree\n"},
                        {"bin", std::string("x\0y", 3)},
                        {"odd/n\xff\x65", "bad"},
                        {"odd/x.txt", ""},
                        {"sub/deep/d.txt", "deep\n"}});
    ASSERT_EQ(symlink("a.txt", (folder + "/link").c_str()), 0);
    setMtimeNs(folder + "/bin", savedTime);
    saved(folder, {"--name", "first"});
    writeFiles(folder, {{"a.txt", "one\n2\nthree\nfour\n"}, {"bin", std::string("x\0z", 3)}, {"sub/new.txt", "new\n"}});
    setMtimeNs(folder + "/bin", savedTime + 1);
    ASSERT_EQ(unlink((folder + "/sub/deep/d.txt").c_str()), 0);
    saved(folder);
    const std::vector<Listed> ids = listed(folder);
    ASSERT_EQ(ids.size(), 2u);
    const std::string first = ids[0].id, second = ids[1].id;
    const std::string from = line(ids[0], "  \"first\""), to = line(ids[1]);
    const CheckpointStore store = storeForFolder(folder, defaultStore());
    const auto inSaved = [&](const std::string& id, const std::string& item) {
      return store.folderDirectory(folder) + "/" + id + "/data/" + item;
    };
    const TreeSnapshot folderBefore = snapshotTree(folder), storeBefore = snapshotTree(store.root());

    const std::string between =
        "  ~ a.txt  (17 bytes)\n  ~ bin  (3 bytes)\n  - sub/deep/d.txt  (5 bytes)\n  + sub/new.txt  (4 bytes)\n";
    const std::string patches =
        "  ~ a.txt  (17 bytes)\n" + gnuDiff(inSaved(first, "a.txt"), inSaved(second, "a.txt"), "a/a.txt", "b/a.txt") +
        "  ~ bin  (3 bytes)\n" + gnuDiff(inSaved(first, "bin"), inSaved(second, "bin"), "a/bin", "b/bin") +
        "  - sub/deep/d.txt  (5 bytes)\n" +
        gnuDiff(inSaved(first, "sub/deep/d.txt"), "/dev/null", "a/sub/deep/d.txt", "/dev/null") +
        "  + sub/new.txt  (4 bytes)\n" +
        gnuDiff("/dev/null", inSaved(second, "sub/new.txt"), "/dev/null", "b/sub/new.txt");
    expectRuns({
        {{"show", folder, first, "--file", "bin"}, {0, std::string("x\0y", 3), ""}},
        {{"show", folder, first}, {0, "a.txt  (14 bytes)\nbin  (3 bytes)\nlink -> a.txt\nodd/\nsub/\n", ""}},
        {{"show", folder, first, "--file", "odd"}, {0, "n\\xffe  (3 bytes)\nx.txt  (0 KB)\n", ""}},
        {{"show", folder, "--file", "link"}, {0, "a.txt\n", ""}},
        {{"show", folder, "--file", "bin", "--json"}, failed(2, "--json can't be used to print a file")},
        {{"diff", folder, first, second}, {0, "Changes from " + from + " to " + to + ":\n" + between, ""}},
        {{"diff", folder, first, second, "--patch"}, {0, "Changes from " + from + " to " + to + ":\n" + patches, ""}},
        {{"diff", folder, first, second, "--file", "sub/"},
         {0, "Changes in \"sub\" from " + from + " to " + to + ":\n" + between.substr(between.find("  -")), ""}},
        {{"diff", folder, first, "--file", "nowhere"}, {0, "Changes in \"nowhere\" since " + from + ":\n  none\n", ""}},
        {{"diff", folder, "--patch", "--json"}, failed(2, "--patch can't be combined with --json")},
    });
    EXPECT_EQ(snapshotTree(folder), folderBefore);
    EXPECT_EQ(snapshotTree(store.root()), storeBefore);

    // A checkpoint withdrawn while it is held is reported as deleted, never as lacking an item.
    const HeldCheckpoint held(store, store.resolve(first, folder));
    const std::string dir = store.folderDirectory(folder) + "/";
    ASSERT_EQ(rename((dir + first).c_str(), (dir + ".deleting-" + first).c_str()), 0);
    EXPECT_EQ(errorOf([&] { held.confirmWhole(); }), RedomarkError::checkpointDeleted());
  }
}

const std::string composed = "caf\u00e9", decomposed = "cafe\u0301", brokenA = "x\xff", brokenB = "x\xfe";

class NamesAsBytes : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  NamesAsBytes() : CommandLine(GetParam()) {}
  std::string folder = scratch / "names";
};

TEST_P(NamesAsBytes, EveryItemKeepsItsOwnBytesThroughSaveDiffAndRestore) {
  writeFiles(folder, {{composed, composed},
                      {decomposed, decomposed},
                      {brokenA, brokenA},
                      {brokenB, brokenB},
                      {"dir\xff/inner", "in"}});
  const TreeSnapshot before = snapshotTree(folder);

  const ToolRun save = tool({"save", folder, "--name", "week\xff"});
  EXPECT_EQ(save, ok(savedLine(savedId(save), folder, "5 files, 17 bytes") + notABackup))
      << "no item may look changed while saving";
  const Listed first = listed(folder).at(0);
  const std::string header = "Changes since " + line(first, "  \"week\uFFFD\"") + ":\n";

  for (const std::string& gone : {decomposed, brokenB}) ASSERT_EQ(unlink((folder + "/" + gone).c_str()), 0);
  writeFile(folder + "/" + brokenA, "changed");
  EXPECT_EQ(tool({"diff", folder}),
            ok(header + "  - cafe\u0301  (6 bytes)\n  - x\\xfe  (2 bytes)\n  ~ x\\xff  (7 bytes)\n"));

  // One item by its raw bytes, then the whole folder.
  EXPECT_EQ(tool({"restore", folder, "--file", brokenB, "--yes"}),
            ok("Restored \"x\\xfe\" in " + folder + " to " + first.id + ".\n"));
  EXPECT_EQ(readFile(folder + "/" + brokenB) + readFile(folder + "/" + brokenA), brokenB + "changed");
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);

  // A name too long to take " (replaced by Redomark)" whole: what it replaced never stays behind under a hidden name.
  const std::string longName(240, 'n');
  writeFile(folder + "/" + longName, "old");
  saved(folder);
  writeFile(folder + "/" + longName, "new");
  EXPECT_EQ(tool({"restore", folder, "--file", longName, "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/" + longName), "old");
  for (const std::string& name : sortedNames(folder)) EXPECT_FALSE(name.starts_with(".redomark-restore-")) << name;
}

INSTANTIATE_TEST_SUITE_P(Volumes, NamesAsBytes, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
