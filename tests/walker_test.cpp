// The tree walker on real volumes: order, the texts of unreadable items and
// cancellation; and the space a tree's files use alone.
#include "core/fs/walker.h"

#include <sys/resource.h>

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
  } catch (const FsError& e) {
    out += e.what();
  }
  return control ? std::to_string(count) + " " + out : out;
}

// Many directories of a few items each, nested as source trees are, and one
// of many subdirectories: with their
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
  for (int i = 0; i < 80; ++i) createDirectories(root + "/wide/w" + std::to_string(i));
  const std::string expected = outcome(root);
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 1404) << "every item once: 204 directories, 1200 files";
  // The last directory met, well after the walk has begun to open directories
  // ahead: the walk stops at it, in its turn, with its full path.
  const size_t end = expected.rfind("/f0\n"), start = expected.rfind('\n', end) + 1;
  const std::string locked = expected.substr(start, end - start);
  const std::string before = expected.substr(0, expected.find("\n" + locked + "\n") + locked.size() + 2);
  const int descriptors = openDescriptors();
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    SCOPED_TRACE(pace == WalkPace::openAhead ? "opening ahead" : "one thread");
    for (int round = 0; round < 5; ++round) ASSERT_EQ(outcome(root, pace), expected) << "round " << round;
    {
      // Few descriptors to spare: directories are opened ahead only as far as they allow.
      struct rlimit limit {};
      ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
      struct rlimit tight = limit;
      tight.rlim_cur = descriptors + 24;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
      const std::string walked = outcome(root, pace);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
      EXPECT_EQ(walked, expected);
    }
    OperationControl control;
    EXPECT_EQ(outcome(root, pace, &control, 600), "1023 Cancelled.") << "a cancel midway is seen at the next check";
    EXPECT_EQ(openDescriptors(), descriptors);
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0700), 0);
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(asUser(nobody, [&] { return outcome(root, pace); }),
                before + "Couldn't read " + root + "/" + locked + ": Permission denied");
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0755), 0);
  }
}

// The space a tree's files use alone: a file of several names counts once, data shared with a clone not at all.
TEST(PrivateSpace, CountsAFileOfSeveralNamesOnceAndSharedDataNot) {
  ScratchDir scratch(Volume::btrfs);
  const std::string tree = scratch / "tree";
  writeFiles(tree, {{"linked", uniqueBytes(96 * 1024, 1)}, {"cloned", uniqueBytes(64 * 1024, 2)}});
  hardLink(tree + "/linked", tree + "/again");
  ASSERT_EQ(std::system(("cp --reflink=always " + tree + "/cloned " + scratch / "clone").c_str()), 0);
  sync();
  EXPECT_EQ(privateSpaceBelow(tree), 96 * 1024);
}

}  // namespace
}  // namespace redomark::testing
