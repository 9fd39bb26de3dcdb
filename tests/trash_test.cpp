#include "core/fs/trash.h"

#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fs/path_text.h"
#include "core/fs/safety_policy.h"
#include "core/fs/typed_path.h"
#include "tests/engine_test_support.h"
#include "tests/test_volumes.h"

namespace redomark::testing {

namespace {

// A trash made at a volume's top, removed when the test ends.
struct TopTrash {
  std::string path;
  ~TopTrash() {
    try {
      if (pathExists(path, false)) removeTree(path);
    } catch (const std::exception&) {
    }
  }
};

// The item left its place for files/<name>, contents intact, with an info
// file that names where it was, percent-encoded, and was written just now.
// Returns the recorded path as written.
std::string expectTrashed(const std::string& trash, const std::string& name, const std::string& original,
                          const std::string& returned, const std::string& inside, const std::string& content) {
  EXPECT_EQ(returned, trash + "/files/" + name);
  EXPECT_FALSE(pathExists(original, false)) << original;
  EXPECT_EQ(readWholeFile(returned + inside), content);
  const std::string info = readWholeFile(trash + "/info/" + name + ".trashinfo").value_or("");
  static const std::regex form("\\[Trash Info\\]\nPath=(.*)\nDeletionDate=([-0-9]{10}T[0-9:]{8})\n");
  std::smatch m;
  if (!std::regex_match(info, m, form)) {
    ADD_FAILURE() << "bad info: " << info;
    return "";
  }
  const std::string raw = m[1];
  std::string path;
  for (size_t i = 0; i < raw.size(); i += raw[i] == '%' ? 3 : 1)
    path += raw[i] == '%' ? static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16)) : raw[i];
  EXPECT_EQ(path, original);
  std::tm local{};
  strptime(m[2].str().c_str(), "%Y-%m-%dT%H:%M:%S", &local);
  local.tm_isdst = -1;
  EXPECT_LE(std::abs(std::difftime(std::time(nullptr), std::mktime(&local))), 120.0);
  return raw;
}

// The item at path, its parent reached as the engine reaches it: canonical,
// then opened without following a link.
std::string moveToTrash(const std::string& path) {
  const FsResult<DirectoryHandle> parent = DirectoryHandle::open(canonicalPath(parentPath(path)));
  if (!parent) throw std::runtime_error("no parent for " + path);
  return redomark::moveToTrash(*parent, lastComponent(path));
}

}  // namespace

TEST(MoveToTrash, ItemsOnTheHomeVolumeGoToTheHomeTrash) {
  ScratchDir scratch(Volume::btrfs);
  const std::string base = canonicalPath(scratch.path());
  const TemporaryHome home(Volume::btrfs);
  const std::string trash = canonicalPath(home.path()) + "/.local/share/Trash";

  const std::string odd = "report 1 \xC3\xBC%#.txt";
  writeFile(scratch / odd, "odd");
  EXPECT_EQ(expectTrashed(trash, odd, base + "/" + odd, moveToTrash(scratch / odd), "", "odd"),
            base + "/report%201%20%C3%BC%25%23.txt");
  EXPECT_EQ(permissions(trash + "/files"), 0700u);

  // A directory moves whole; a link on the way to it is recorded resolved.
  createDirectories(scratch / "real/project/src");
  writeFile(scratch / "real/project/src/main.c", "int main;");
  ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/link").c_str()), 0);
  expectTrashed(trash, "project", base + "/real/project", moveToTrash(scratch / "link/project"), "/src/main.c",
                "int main;");

  // Two items of one name both survive; an entry in files/ without an info
  // file keeps its name too and is left alone.
  for (const char* dir : {"a", "b"}) {
    createDirectories(scratch / dir);
    writeFile(scratch / dir + "/notes.txt", std::string("from ") + dir);
  }
  writeFile(trash + "/files/.profile", "stray");
  writeFile(scratch / ".profile", "mine");
  expectTrashed(trash, "notes.txt", base + "/a/notes.txt", moveToTrash(scratch / "a/notes.txt"), "", "from a");
  expectTrashed(trash, "notes.2.txt", base + "/b/notes.txt", moveToTrash(scratch / "b/notes.txt"), "", "from b");
  expectTrashed(trash, ".profile.2", base + "/.profile", moveToTrash(scratch / ".profile"), "", "mine");
  EXPECT_EQ(readWholeFile(trash + "/files/.profile"), "stray");
  EXPECT_FALSE(pathExists(trash + "/info/.profile.trashinfo"));
}

TEST(MoveToTrash, ItemsOnAnotherVolumeGoToThatVolumesOwnTrash) {
  const TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::xfs);
  const std::string top = canonicalPath(volumeRoot(Volume::xfs)), base = canonicalPath(scratch.path());
  const std::string uid = std::to_string(getuid());
  const TopTrash own{top + "/.Trash-" + uid}, shared{top + "/.Trash"};

  createDirectories(scratch / "dir");
  writeFile(scratch / "dir/file", "data");
  expectTrashed(own.path, "dir", base + "/dir", moveToTrash(scratch / "dir"), "/file", "data");
  EXPECT_EQ(permissions(own.path), 0700u);
  EXPECT_FALSE(pathExists(home.path() + "/.local"));

  // A shared .Trash is used only when an administrator made it sticky.
  createDirectories(shared.path, 0777);
  writeFile(scratch / "plain", "p");
  expectTrashed(own.path, "plain", base + "/plain", moveToTrash(scratch / "plain"), "", "p");
  chmod(shared.path.c_str(), 01777);
  writeFile(scratch / "sticky", "s");
  expectTrashed(shared.path + "/" + uid, "sticky", base + "/sticky", moveToTrash(scratch / "sticky"), "", "s");

  // Someone else's .Trash, or a per-user folder that others may enter, is passed over.
  ASSERT_EQ(chown(shared.path.c_str(), 42102, 42102), 0);
  writeFile(scratch / "foreign", "f");
  expectTrashed(own.path, "foreign", base + "/foreign", moveToTrash(scratch / "foreign"), "", "f");
  ASSERT_EQ(chown(shared.path.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
  ASSERT_EQ(chmod((shared.path + "/" + uid).c_str(), 0777), 0);
  writeFile(scratch / "open", "o");
  expectTrashed(own.path, "open", base + "/open", moveToTrash(scratch / "open"), "", "o");

  // A link in place of the trash leads nowhere: the item stays where it was.
  removeTree(shared.path);
  removeTree(own.path);
  createDirectories(scratch / "elsewhere");
  ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), own.path.c_str()), 0);
  writeFile(scratch / "kept", "k");
  EXPECT_THROW(moveToTrash(scratch / "kept"), FsError);
  EXPECT_EQ(readWholeFile(scratch / "kept"), "k");
  EXPECT_EQ(listNames(scratch / "elsewhere"), std::vector<std::string>{});
  ASSERT_EQ(unlink(own.path.c_str()), 0);
}

// A failed move leaves the item in place and no info file: the restore that
// sends the replaced copy to the Trash, its only caller, swallows the error,
// and the fault-injection test fails both moves and the info file's writing.

}  // namespace redomark::testing
