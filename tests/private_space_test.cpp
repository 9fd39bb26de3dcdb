// The space a tree's files use alone, on real copy-on-write volumes: what is
// shared, linked or not a regular file adds nothing, and no depth is missed.
#include <dirent.h>

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr int64_t kib = 1024;

TEST(PrivateSpace, CountsOnlyUnsharedDataOfEachRegularFileOnceAtEveryDepth) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs}) {
    SCOPED_TRACE(volumeRoot(volume));
    ScratchDir scratch(volume);
    const std::string tree = scratch / "tree";
    writeFiles(tree, {{"top.bin", uniqueBytes(64 * kib, 1)}, {"one/two/three/low.bin", uniqueBytes(128 * kib, 2)},
                      {"one/nothing.txt", ""}, {"tiny", "abc"}, {"linked", uniqueBytes(96 * kib, 3)}});
    writeFile(scratch / "outside.bin", uniqueBytes(256 * kib, 4));
    makeDirectory(tree + "/empty");
    for (const char* name : {"/one/again", "/one/two/third"}) hardLink(tree + "/linked", tree + name);
    ASSERT_EQ(std::system(("cp --reflink=always " + scratch / "outside.bin " + tree + "/one/two/shared.bin").c_str()), 0);
    ASSERT_EQ(symlink((scratch / "outside.bin").c_str(), (tree + "/one/link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/one/pipe").c_str(), 0644), 0);
    // Directories with long names until their path is longer than the system resolves in one call.
    int at = open((tree + "/one").c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 18; ++depth) {
      ASSERT_EQ(mkdirat(at, std::string(250, 'd').c_str(), 0755), 0);
      const int next = openat(at, std::string(250, 'd').c_str(), O_RDONLY | O_DIRECTORY);
      close(at), at = next;
    }
    const int file = openat(at, "bottom.bin", O_WRONLY | O_CREAT, 0644);
    const std::string bottom = uniqueBytes(192 * kib, 5);
    EXPECT_EQ(write(file, bottom.data(), bottom.size()), static_cast<ssize_t>(bottom.size()));
    close(file), close(at);
    sync();
    // Btrfs keeps 3 bytes in its metadata; XFS gives them a whole block.
    const int64_t tiny = volume == Volume::btrfs ? 3 : 4 * kib;
    EXPECT_EQ(std::vector<int64_t>({privateSize(tree + "/tiny").value_or(-1), privateSpaceBelow(tree),
                                    privateSpaceBelow(tree + "/one/two")}),
              std::vector<int64_t>({tiny, (64 + 128 + 192 + 96) * kib + tiny, (128 + 96) * kib}));
  }
}

TEST(PrivateSpace, AnUnreadableDirectoryEndsTheSumWhereAWalkInListingOrderMeetsItEveryTime) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs}) {
    SCOPED_TRACE(volumeRoot(volume));
    ScratchDir scratch(volume);
    const std::string tree = scratch / "tree";
    // Made in this order, so that files and a directory come before "u" and after it.
    std::map<std::string, int64_t> below;
    for (const auto& [path, size] : {std::pair<std::string, int64_t>{"a.bin", 64 * kib}, {"d/deeper/z.bin", 16 * kib},
                                     {"u/inner.bin", 128 * kib}, {"b.bin", 32 * kib}, {"c.bin", 8 * kib}}) {
      writeFiles(tree, {{path, uniqueBytes(size, size)}});
      below[path.substr(0, path.find('/'))] = size;
    }
    for (const std::string& directory : {scratch.path(), tree, tree + "/d", tree + "/d/deeper"})
      ASSERT_EQ(chmod(directory.c_str(), 0755), 0);
    sync();
    ASSERT_EQ(privateSpaceBelow(tree), (64 + 32 + 8 + 16 + 128) * kib);
    // What a single walk of the root in its listing order counts before "u", forty times over.
    int64_t beforeUnreadable = 0;
    DIR* listing = opendir(tree.c_str());
    for (const dirent* entry; (entry = readdir(listing)) && entry->d_name != std::string("u");)
      beforeUnreadable += below.contains(entry->d_name) ? below[entry->d_name] : 0;
    closedir(listing);
    ASSERT_EQ(chmod((tree + "/u").c_str(), 0), 0);
    const auto fortyTimes = [](const std::function<int64_t()>& figure) {
      std::string figures;
      for (int i = 0; i < 40; ++i) figures += std::to_string(figure()) + " ";
      return figures;
    };
    // By a user who can't read what root can.
    EXPECT_EQ(asUser(4245, [&] { return fortyTimes([&] { return privateSpaceBelow(tree); }); }),
              fortyTimes([&] { return beforeUnreadable; }));
  }
}

}  // namespace
}  // namespace redomark::testing
