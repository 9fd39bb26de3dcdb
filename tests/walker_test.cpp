// The tree walker on real volumes: order, the texts of unreadable items and
// cancellation; and the space a tree's files use alone, summed by a walk: what
// is shared, linked or not a regular file adds nothing, and
// an unreadable directory ends the sum.
#include <dirent.h>

#include "core/fs/walker.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr uid_t nobody = 65534;

// The walk's outcome as one text: the delivered paths (or their count, when
// the visitor cancels at the cancelAt-th), then "ok" or the error's message.
std::string outcome(const std::string& root, WalkPace pace = WalkPace::oneThread, OperationControl* control = nullptr,
                    int cancelAt = -1) {
  std::string out;
  int count = 0;
  try {
    walk(
        root, control,
        [&](const WalkEntry& e) {
          if (!control)
            out += e.path + "\n";
          else if (++count == cancelAt)
            control->cancel();
        },
        pace);
    out += "ok";
  } catch (const std::exception& e) {  // RedomarkError, or FsError for an unreadable item
    out += e.what();
  }
  return control ? std::to_string(count) + " " + out : out;
}

// Many directories of a few items each, nested as source trees are: with their
// listings made on helper threads ahead of the walk, it must deliver exactly
// what a walk of one thread does, in its order, see a cancel, stop at an
// unreadable item as it does, and leave no descriptor open.
TEST(Walk, TreesOfSmallDirectoriesKeepTheirOrderCancellationAndErrors) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string root = scratch / "tree";
  for (int i = 0; i < 60; ++i) {
    std::string dir = root + "/d" + std::to_string(i % 7);
    for (int depth = 0; depth < i % 4; ++depth) dir += "/s" + std::to_string(i % 3 + depth);
    dir += "/m" + std::to_string(i);
    createDirectories(dir);
    for (int f = 0; f < 20; ++f) writeFile(dir + "/f" + std::to_string(f), std::string(f, 'x'));
  }
  const std::string expected = outcome(root);
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 1323) << "every item once: 123 directories, 1200 files";
  // The last directory met, well after the walk has begun to open directories
  // ahead: the walk stops at it, in its turn, with its full path.
  const size_t end = expected.rfind("/f0\n"), start = expected.rfind('\n', end) + 1;
  const std::string locked = expected.substr(start, end - start);
  const std::string before = expected.substr(0, expected.find("\n" + locked + "\n") + locked.size() + 2);
  const int descriptors = openDescriptors();
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    SCOPED_TRACE(pace == WalkPace::openAhead ? "opening ahead" : "one thread");
    for (int round = 0; round < 5; ++round) ASSERT_EQ(outcome(root, pace), expected) << "round " << round;
    OperationControl cancelled, control;
    cancelled.cancel();
    EXPECT_EQ(outcome(root, pace, &cancelled), "511 Cancelled.");
    EXPECT_EQ(outcome(root, pace, &control, 600), "1023 Cancelled.") << "a cancel midway is seen at the next check";
    EXPECT_EQ(openDescriptors(), descriptors);
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0700), 0);
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(asUser(nobody, [&] { return outcome(root, pace); }),
                before + "Couldn't read " + root + "/" + locked + ": Permission denied");
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0755), 0);
  }
}

constexpr int64_t kib = 1024;

TEST(PrivateSpace, CountsOnlyUnsharedDataOfEachRegularFileOnce) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs}) {
    SCOPED_TRACE(volumeRoot(volume));
    ScratchDir scratch(volume);
    const std::string tree = scratch / "tree";
    writeFiles(tree, {{"top.bin", uniqueBytes(64 * kib, 1)},
                      {"one/two/three/low.bin", uniqueBytes(128 * kib, 2)},
                      {"one/nothing.txt", ""},
                      {"tiny", "abc"},
                      {"linked", uniqueBytes(96 * kib, 3)}});
    writeFile(scratch / "outside.bin", uniqueBytes(256 * kib, 4));
    for (const char* name : {"/one/again", "/one/two/third"}) hardLink(tree + "/linked", tree + name);
    ASSERT_EQ(std::system(("cp --reflink=always " + scratch / "outside.bin " + tree + "/one/two/shared.bin").c_str()),
              0);
    ASSERT_EQ(symlink((scratch / "outside.bin").c_str(), (tree + "/one/link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/one/pipe").c_str(), 0644), 0);
    sync();
    // Btrfs keeps 3 bytes in its metadata; XFS gives them a whole block.
    const int64_t tiny = volume == Volume::btrfs ? 3 : 4 * kib;
    EXPECT_EQ(std::vector<int64_t>({privateSize(tree + "/tiny").value_or(-1), privateSpaceBelow(tree),
                                    privateSpaceBelow(tree + "/one/two")}),
              std::vector<int64_t>({tiny, (64 + 128 + 96) * kib + tiny, (128 + 96) * kib}));
  }
}

// Kinds, sizes, times and exact names reach the user through save, diff and
// show, whose tests catch them; here the texts of what can't be read, and the
// sum of space, which ends where a walk in listing order meets an unreadable
// directory, every time.
TEST(Walk, UnreadableItemsStopTheWalkWithTheirFullPathAndEndTheSumOfSpace) {
  ScratchDir scratch(Volume::btrfs);
  const std::string tree = scratch / "tree", two = scratch / "two";
  const std::map<std::string, int64_t> below{{"a.bin", 64 * kib}, {"u", 128 * kib}, {"b.bin", 32 * kib}};
  for (const auto& [name, size] : below) writeFiles(tree, {{name == "u" ? "u/inner" : name, uniqueBytes(size, size)}});
  createDirectories(two + "/listable/inner");
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755) | chmod(tree.c_str(), 0755), 0);
  sync();
  // What a single walk of the root in its listing order counts before "u", forty times over.
  int64_t beforeUnreadable = 0;
  DIR* listing = opendir(tree.c_str());
  for (const dirent* entry; (entry = readdir(listing)) && entry->d_name != std::string("u");)
    beforeUnreadable += below.contains(entry->d_name) ? below.at(entry->d_name) : 0;
  closedir(listing);
  ASSERT_EQ(chmod((tree + "/u").c_str(), 0) | chmod((two + "/listable").c_str(), 0444), 0);
  const auto fortyTimes = [](const std::function<int64_t()>& figure) {
    std::string figures;
    for (int i = 0; i < 40; ++i) figures += std::to_string(figure()) + " ";
    return figures;
  };
  // By a user who can't read what root can.
  EXPECT_EQ(asUser(nobody, [&] { return fortyTimes([&] { return privateSpaceBelow(tree); }); }),
            fortyTimes([&] { return beforeUnreadable; }));
  EXPECT_TRUE(
      asUser(nobody, [&] { return outcome(tree); }).ends_with("u\nCouldn't read " + tree + "/u: Permission denied"));
  // Readable but not searchable: names can be listed, their status cannot.
  EXPECT_EQ(asUser(nobody, [&] { return outcome(two); }),
            "listable\nCouldn't read " + two + "/listable/inner: Permission denied");
  ASSERT_EQ(chmod(tree.c_str(), 0), 0);
  EXPECT_EQ(asUser(nobody, [&] { return outcome(tree); }), "Couldn't read " + tree + ": Permission denied")
      << "an unreadable root is no empty folder";
}

}  // namespace
}  // namespace redomark::testing
