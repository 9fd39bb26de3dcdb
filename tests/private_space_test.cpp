// The space a tree's files use alone, on real copy-on-write volumes: what is
// shared, linked or not a regular file adds nothing, and no depth is missed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/fs/private_space.h"
#include "core/fs/volume.h"
#include "tests/engine_test_support.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

constexpr int64_t kib = 1024;

void writeUnique(const std::string& path, int64_t bytes) { writeFile(path, uniqueBytes(bytes, bytes)); }

void cloneFile(const std::string& from, const std::string& to) {
  const int source = open(from.c_str(), O_RDONLY);
  const int copy = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(source, 0);
  ASSERT_GE(copy, 0);
  EXPECT_EQ(ioctl(copy, FICLONE, source), 0);
  close(source);
  close(copy);
}

// Makes directories with long names below dir until their path is longer
// than the system resolves in one call, and writes a file at the bottom.
void writeBeyondPathMax(const std::string& dir, int64_t bytes) {
  const std::string name(250, 'd');
  int at = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 18; ++depth) {
    ASSERT_EQ(mkdirat(at, name.c_str(), 0755), 0);
    const int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
  }
  const int file = openat(at, "bottom.bin", O_WRONLY | O_CREAT, 0644);
  std::string data(static_cast<size_t>(bytes), 'b');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + (i >> 9));
  EXPECT_EQ(write(file, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(file);
  close(at);
}

TEST(PrivateSpace, CountsOnlyUnsharedDataOfEachRegularFileOnceAtEveryDepth) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs}) {
    const bool btrfs = volume == Volume::btrfs;
    SCOPED_TRACE(btrfs ? "btrfs" : "xfs");
    ScratchDir scratch(volume);
    const std::string tree = scratch / "tree";
    createDirectories(tree + "/one/two/three");
    createDirectories(tree + "/empty");
    writeUnique(tree + "/top.bin", 64 * kib);
    writeUnique(tree + "/one/two/three/low.bin", 128 * kib);
    writeFile(tree + "/one/nothing.txt", "");
    writeFile(tree + "/tiny", "abc");
    writeUnique(tree + "/linked", 96 * kib);
    ASSERT_EQ(link((tree + "/linked").c_str(), (tree + "/one/again").c_str()), 0);
    ASSERT_EQ(link((tree + "/linked").c_str(), (tree + "/one/two/third").c_str()), 0);
    writeUnique(scratch / "outside.bin", 256 * kib);
    cloneFile(scratch / "outside.bin", tree + "/one/two/shared.bin");
    ASSERT_EQ(symlink((scratch / "outside.bin").c_str(), (tree + "/one/link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/one/pipe").c_str(), 0644), 0);
    writeBeyondPathMax(tree + "/one", 192 * kib);
    sync();

    // Btrfs keeps 3 bytes in its metadata; XFS gives them a whole block.
    const int64_t tiny = btrfs ? 3 : 4 * kib;
    EXPECT_EQ(privateSize(tree + "/tiny"), tiny);
    EXPECT_EQ(privateSpaceBelow(tree), (64 + 128 + 192 + 96) * kib + tiny);
    EXPECT_EQ(privateSpaceBelow(tree + "/one/two"), (128 + 96) * kib);
    EXPECT_EQ(privateSpaceBelow(scratch / "outside.bin"), 0);
    EXPECT_EQ(privateSpaceBelow(scratch / "missing"), 0);
  }
}

TEST(PrivateSpace, AnUnreadableDirectoryEndsTheSumWhereAWalkInListingOrderMeetsItEveryTime) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs}) {
    SCOPED_TRACE(volume == Volume::btrfs ? "btrfs" : "xfs");
    ScratchDir scratch(volume);
    const std::string tree = scratch / "tree";
    const std::map<std::string, int64_t> below = {
        {"a.bin", 64 * kib}, {"b.bin", 32 * kib}, {"c.bin", 8 * kib}, {"d", 16 * kib}, {"u", 128 * kib}};
    // Made in this order, so that files and a directory come before "u" and after it.
    createDirectories(tree);
    writeUnique(tree + "/a.bin", 64 * kib);
    createDirectories(tree + "/d/deeper");
    writeUnique(tree + "/d/deeper/z.bin", 16 * kib);
    createDirectories(tree + "/u");
    writeUnique(tree + "/u/inner.bin", 128 * kib);
    writeUnique(tree + "/b.bin", 32 * kib);
    writeUnique(tree + "/c.bin", 8 * kib);
    for (const std::string& directory : {scratch.path(), tree, tree + "/d", tree + "/d/deeper"})
      ASSERT_EQ(chmod(directory.c_str(), 0755), 0);
    sync();
    ASSERT_EQ(privateSpaceBelow(tree), (64 + 32 + 8 + 16 + 128) * kib);

    // What a single walk of the root in its listing order counts before "u".
    int64_t beforeUnreadable = 0;
    DIR* listing = opendir(tree.c_str());
    ASSERT_NE(listing, nullptr);
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "u") break;
      if (below.count(name)) beforeUnreadable += below.at(name);
    }
    closedir(listing);

    ASSERT_EQ(chmod((tree + "/u").c_str(), 0), 0);
    // Counted forty times by a user who can't read what root can.
    std::string expected;
    for (int i = 0; i < 40; ++i) expected += std::to_string(beforeUnreadable) + " ";
    EXPECT_EQ(asUser(4245, [&] {
                std::string figures;
                for (int i = 0; i < 40; ++i) figures += std::to_string(privateSpaceBelow(tree)) + " ";
                return figures;
              }),
              expected);
    ASSERT_EQ(chmod((tree + "/u").c_str(), 0755), 0);
  }
}

}  // namespace
}  // namespace redomark::testing
