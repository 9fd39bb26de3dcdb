// The tool run as root on a folder another user can write, while that user
// swaps a directory on the way for a link to a folder outside, over and over.
// Whatever the timing, nothing outside may change, each run either does its
// work on the real folder or says in one line why it did not, and nothing
// half-made is left behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/operations/redomark.h"
#include "tests/command_line_fixture.h"
#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"
#include "tests/tool_process.h"
#include "tests/tree_snapshot.h"

extern char** environ;

namespace redomark::testing {
namespace {

// Nobody on the machine: setpriv takes a bare number.
constexpr uid_t intruder = 4242;
constexpr int runs = 100;

// The attacker program at work until stop, as the intruder when asked.
class Attacker {
 public:
  Attacker(const std::vector<std::string>& args, bool asIntruder) {
    std::vector<std::string> words;
    if (asIntruder) {
      const std::string id = std::to_string(intruder);
      words = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    words.emplace_back(REDOMARK_ATTACKER);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    const int code = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    out_ = ends[0];
    if (code != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start the attacker");
    }
    const std::string first = readLine();
    if (first != "ready") throw std::runtime_error("the attacker did not start: " + first);
  }
  ~Attacker() {
    stop();
    close(out_);
  }
  Attacker(const Attacker&) = delete;
  Attacker& operator=(const Attacker&) = delete;

  // Ends it; its report, such as "exchanged 812 refused 3".
  std::string stop() {
    if (pid_ < 0) return report_;
    ::kill(pid_, SIGTERM);
    report_ = readLine();
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return report_;
  }

 private:
  std::string readLine() const {
    std::string line;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string report_;
};

long exchangesIn(const std::string& report) {
  long n = 0;
  return std::sscanf(report.c_str(), "exchanged %ld", &n) == 1 ? n : 0;
}

// snapshotTree with each item's owner and group in front.
TreeSnapshot ownedSnapshot(const std::string& root) {
  TreeSnapshot tree = snapshotTree(root);
  for (auto& [relative, facts] : tree) {
    struct stat st {};
    lstat((relative.empty() ? root : root + "/" + relative).c_str(), &st);
    facts = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + facts;
  }
  return tree;
}

// Temporary clones and unfinished checkpoints anywhere below root.
std::vector<std::string> halfMade(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& [relative, facts] : snapshotTree(root)) {
    const std::string name = relative.substr(relative.rfind('/') + 1);
    if (name.starts_with(".redomark-restore-") || name.ends_with(".partial")) found.push_back(relative);
  }
  return found;
}

// Files below root whose contents came from the outside folder.
std::vector<std::string> outsideCopies(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& [relative, facts] : snapshotTree(root))
    if (facts.find("outside secret") != std::string::npos) found.push_back(relative);
  return found;
}

bool isLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// After the attacker stopped half way, the real directory gets its name back.
void straighten(const std::string& directory, const std::string& real, const std::string& decoy) {
  const std::string a = directory + "/" + real, b = directory + "/" + decoy;
  if (isLink(a) && !isLink(b) && renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
    throw std::runtime_error("cannot exchange back " + a);
}

void own(const std::string& path, uid_t user) {
  if (lchown(path.c_str(), user, user) != 0) throw std::runtime_error("cannot chown " + path);
}

void writeAs(const std::string& path, const std::string& bytes, mode_t mode, uid_t user) {
  writeFile(path, bytes);
  chmod(path.c_str(), mode);
  own(path, user);
}

void makeDirectoryAs(const std::string& path, mode_t mode, uid_t user) {
  makeDirectory(path);
  chmod(path.c_str(), mode);
  own(path, user);
}

// One line behind "redomark: ", status 1, nothing on standard output.
bool refusedInOneLine(const ToolRun& run) {
  static const std::regex line("redomark: [^\n]+\n");
  return run.status == 1 && !run.signaled && run.out.empty() && std::regex_match(run.err, line);
}

// The texts a run may stop with when a folder on its way changed under it.
bool expectedRefusal(const std::string& err) {
  // The last: the folder's own name was the link when it was first resolved.
  static const std::regex known(
      "redomark: (.* changed while Redomark was working on it \\(a folder on its way was moved or replaced by a "
      "link\\), so it was left as it is\\.|\"[^\"]*\" is not a valid path inside the folder\\.|There are no "
      "saved redomarks for .*/outside\\.)\n");
  return std::regex_match(err, known);
}

// What the runs of one attack came to, printed for the record.
struct Tally {
  int done = 0;
  std::map<std::string, int> refusals;
  long exchanges = 0;

  void refused(const std::string& err, const std::string& folder) {
    std::string text = err;
    for (size_t at; (at = text.find(folder)) != std::string::npos;) text.replace(at, folder.size(), "<folder>");
    ++refusals[text];
  }
  void print(const char* attack) const {
    std::printf("[attack] %s: %d runs did their work, %ld exchanges\n", attack, done, exchanges);
    for (const auto& [text, n] : refusals) std::printf("[attack]   %d refused: %s", n, text.c_str());
  }
};

// A folder shared with the intruder, beside an outside folder of root's and
// others' files with the same names, and a HOME of root's own on the volume.
struct Scene {
  explicit Scene(Volume volume) : home(volume), work(volume) {
    chmod(work.path().c_str(), 0755);
    makeDirectory(outside);
    writeAs(outside + "/x", "outside secret x", 0600, 0);
    writeAs(outside + "/keep", "outside secret keep", 0640, intruder + 1);
    makeDirectoryAs(outside + "/y", 0700, 0);
    writeAs(outside + "/y/inner", "outside secret inner", 0600, 0);
    makeDirectoryAs(outside + "/sub", 0750, 0);
    writeAs(outside + "/sub/x", "outside secret sub x", 0644, 0);
    outsideBefore = ownedSnapshot(outside);

    makeDirectoryAs(shared, 0755, intruder);
    makeDirectoryAs(folder, 0755, intruder);
    writeAs(folder + "/keep", "keep as saved", 0644, intruder);
    makeDirectoryAs(folder + "/sub", 0755, intruder);
    writeAs(folder + "/sub/x", "x as saved", 0644, intruder);
    makeDirectoryAs(folder + "/sub/private", 0700, intruder);
    writeAs(folder + "/sub/private/p", "private as saved", 0600, intruder);
    linkTo(outside, folder + "/lnk");
    linkTo(outside, shared + "/decoy");
  }

  static void linkTo(const std::string& target, const std::string& link) {
    if (symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("cannot link " + link);
  }
  ToolRun tool(const std::vector<std::string>& args) const { return runTool(args, home.path()); }
  std::string firstSave() const {
    const ToolRun run = tool({"save", folder});
    if (run.status != 0) throw std::runtime_error("the first save failed: " + run.err);
    return savedId(run);
  }
  std::string storeRoot() const { return home.path() + "/.local/share/Redomark/Checkpoints"; }
  void expectNothingLeft() const {
    EXPECT_EQ(ownedSnapshot(outside), outsideBefore);
    EXPECT_EQ(halfMade(home.path()), std::vector<std::string>{});
    EXPECT_EQ(halfMade(work.path()), std::vector<std::string>{});
    EXPECT_EQ(outsideCopies(home.path()), std::vector<std::string>{});
  }

  ScratchDir home, work;
  std::string outside = work / "outside", shared = work / "shared", folder = shared + "/folder";
  TreeSnapshot outsideBefore;
};

class Attack : public ::testing::TestWithParam<Volume> {
 protected:
  Attack() { setenv("TZ", "UTC", 1), setenv("LC_ALL", "C.UTF-8", 1); }
};

TEST_P(Attack, SaveCopiesOnlyTheFolderWhileSubIsSwappedForALink) {
  Scene s(GetParam());
  s.firstSave();
  const Redomark engine(s.storeRoot());
  Tally tally;
  int missed = 0;
  for (int i = 0; i < runs; ++i) {
    Attacker attacker({"exchange", s.folder, "sub", "lnk"}, true);
    const ToolRun run = s.tool({"save", s.folder});
    tally.exchanges += exchangesIn(attacker.stop());
    straighten(s.folder, "sub", "lnk");
    ASSERT_EQ(ownedSnapshot(s.outside), s.outsideBefore) << "outside changed at run " << i;
    if (run.status != 0) {
      ASSERT_TRUE(refusedInOneLine(run) && expectedRefusal(run.err)) << "run " << i << ": " << ::testing::PrintToString(run);
      tally.refused(run.err, s.folder);
      continue;
    }
    ++tally.done;
    ASSERT_TRUE(run.out.starts_with("Saved redomark ") && run.out.find(" of " + s.folder + " (") != std::string::npos)
        << run.out;
    std::optional<Checkpoint> saved;
    for (const Checkpoint& c : engine.listCheckpoints(s.folder))
      if (c.id == savedId(run)) saved = c;
    ASSERT_TRUE(saved) << run.out;
    const std::optional<DirectoryHandle> data = engine.storeFor(s.folder).openData(*saved);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->readFile("keep"), "keep as saved");
    // Each of the two names holds the link or the real sub folder, never the outside.
    for (const std::string name : {"sub", "lnk"}) {
      const std::optional<ItemStatus> entry = data->status(name);
      if (!entry) {
        // An entry renamed while its directory is read may be left out of the
        // listing (Btrfs numbers it anew); the save then never saw it.
        ++missed;
        continue;
      }
      if (entry->kind == EntryKind::symlink) continue;
      const std::optional<DirectoryHandle> sub = data->child(name);
      ASSERT_TRUE(sub) << name;
      EXPECT_EQ(sub->readFile("x"), "x as saved") << "run " << i;
      const std::optional<DirectoryHandle> hidden = sub->descend("private");
      ASSERT_TRUE(hidden) << "run " << i;
      EXPECT_EQ(hidden->readFile("p"), "private as saved") << "run " << i;
    }
  }
  tally.print("save, sub <-> link");
  std::printf("[attack]   %d times a name renamed during the listing was not listed\n", missed);
  EXPECT_GT(tally.exchanges, runs);
  EXPECT_GT(tally.done, 0);
  s.expectNothingLeft();
}

TEST_P(Attack, WholeRestoreNeverExchangesTheOutsideFolder) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  Tally tally;
  int decoyTaken = 0;
  for (int i = 0; i < runs; ++i) {
    const std::string changed = "changed " + std::to_string(i);
    writeAs(s.folder + "/keep", changed, 0644, intruder);
    Attacker attacker({"exchange", s.shared, "folder", "decoy"}, true);
    const ToolRun run = s.tool({"restore", s.folder, id, "--yes"});
    tally.exchanges += exchangesIn(attacker.stop());
    straighten(s.shared, "folder", "decoy");
    ASSERT_EQ(ownedSnapshot(s.outside), s.outsideBefore) << "outside changed at run " << i;
    if (run.status != 0) {
      ASSERT_TRUE(refusedInOneLine(run) && expectedRefusal(run.err)) << "run " << i << ": " << ::testing::PrintToString(run);
      tally.refused(run.err, s.folder);
      EXPECT_EQ(readFile(s.folder + "/keep"), changed) << "run " << i;
      continue;
    }
    ++tally.done;
    ASSERT_TRUE(run.out.starts_with("Restored " + s.folder + " to " + id + ".\n")) << run.out;
    if (!isLink(s.shared + "/decoy")) {
      // The link was exchanged in the folder's place just before the swap: the
      // link went to the Trash, and the restored copy holds one of the names.
      ++decoyTaken;
      const bool restored = readFile(s.folder + "/keep") == "keep as saved" ||
                            readFile(s.shared + "/decoy/keep") == "keep as saved";
      EXPECT_TRUE(restored) << "run " << i;
      removeTree(s.shared + "/decoy");
      Scene::linkTo(s.outside, s.shared + "/decoy");
      writeAs(s.folder + "/keep", "keep as saved", 0644, intruder);
      continue;
    }
    EXPECT_EQ(readFile(s.folder + "/keep"), "keep as saved") << "run " << i << ": " << run.out;
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
  }
  tally.print("whole restore, folder <-> link");
  std::printf("[attack]   %d runs found the link in the folder's place at the swap\n", decoyTaken);
  EXPECT_GT(tally.exchanges, runs);
  // Most runs meet the link first; unhindered, the same restore does its work.
  writeAs(s.folder + "/keep", "changed", 0644, intruder);
  EXPECT_EQ(s.tool({"restore", s.folder, id, "--yes"}).status, 0);
  EXPECT_EQ(readFile(s.folder + "/keep"), "keep as saved");
  s.expectNothingLeft();
}

TEST_P(Attack, RestoreOfOneFileNeverWritesThroughASwappedParent) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  const std::vector<std::vector<std::string>> swaps = {{s.shared, "folder", "decoy"}, {s.folder, "sub", "lnk"}};
  for (const std::vector<std::string>& swap : swaps) {
    Tally tally;
    for (int i = 0; i < runs; ++i) {
      const std::string changed = "changed " + std::to_string(i) + " of x";
      writeAs(s.folder + "/sub/x", changed, 0644, intruder);
      Attacker attacker({"exchange", swap[0], swap[1], swap[2]}, true);
      const ToolRun run = s.tool({"restore", s.folder, id, "--file", "sub/x", "--yes"});
      tally.exchanges += exchangesIn(attacker.stop());
      straighten(swap[0], swap[1], swap[2]);
      ASSERT_EQ(ownedSnapshot(s.outside), s.outsideBefore) << "outside changed at run " << i;
      if (run.status != 0) {
        ASSERT_TRUE(refusedInOneLine(run) && expectedRefusal(run.err)) << "run " << i << ": " << ::testing::PrintToString(run);
        tally.refused(run.err, s.folder);
        EXPECT_EQ(readFile(s.folder + "/sub/x"), changed) << "run " << i;
        continue;
      }
      ++tally.done;
      ASSERT_TRUE(run.out.starts_with("Restored \"sub/x\" in " + s.folder + " to " + id + ".\n")) << run.out;
      EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
      static const std::regex moved("\nThe replaced copy is at (.*)\\.\n$");
      std::smatch m;
      ASSERT_TRUE(std::regex_search(run.out, m, moved)) << run.out;
      EXPECT_EQ(readFile(m[1]), changed) << "run " << i;
    }
    tally.print(("restore --file sub/x, " + swap[1] + " <-> link").c_str());
    EXPECT_GT(tally.exchanges, runs);
    EXPECT_GT(tally.done, 0);
  }
  s.expectNothingLeft();
}

// HOME pointed at the scene's own for the engine run in this process.
class HomeFor {
 public:
  explicit HomeFor(const std::string& home) {
    if (const char* now = std::getenv("HOME")) previous_ = now;
    setenv("HOME", home.c_str(), 1);
  }
  ~HomeFor() { previous_ ? setenv("HOME", previous_->c_str(), 1) : unsetenv("HOME"); }

 private:
  std::optional<std::string> previous_;
};

TEST_P(Attack, PutBackOfChosenChangesStaysInTheFolder) {
  Scene s(GetParam());
  writeAs(s.folder + "/sub/y", "y as saved", 0640, intruder);
  const std::string id = s.firstSave();
  const HomeFor home(s.home.path());
  const Redomark engine;
  // The folder itself, then its sub folder, swapped for a link to the outside.
  const std::vector<std::vector<std::string>> swaps = {{s.shared, "folder", "decoy"}, {s.folder, "sub", "lnk"}};
  for (const std::vector<std::string>& swap : swaps) {
    Tally tally;
    int unseen = 0;
    for (int i = 0; i < runs; ++i) {
      const std::string changed = "changed " + std::to_string(i);
      writeAs(s.folder + "/keep", changed, 0644, intruder);
      writeAs(s.folder + "/sub/x", changed, 0644, intruder);
      writeAs(s.folder + "/sub/z", "added " + std::to_string(i), 0644, intruder);
      if (std::remove((s.folder + "/sub/y").c_str()) != 0) FAIL() << "sub/y was not there at run " << i;
      Attacker attacker({"exchange", swap[0], swap[1], swap[2]}, true);
      std::string err;
      PutBackResult result;
      try {
        result = engine.putBackChanges(s.folder, id, {"sub/x", "sub/y", "sub/z"}, nullptr);
      } catch (const std::exception& e) {
        err = std::string("redomark: ") + e.what() + "\n";
      }
      tally.exchanges += exchangesIn(attacker.stop());
      straighten(swap[0], swap[1], swap[2]);
      ASSERT_EQ(ownedSnapshot(s.outside), s.outsideBefore) << "outside changed at run " << i;
      EXPECT_EQ(readFile(s.folder + "/keep"), changed) << "an unchosen change was put back at run " << i;
      if (!err.empty()) {
        ASSERT_TRUE(expectedRefusal(err)) << "run " << i << ": " << err;
        tally.refused(err, s.folder);
      } else if (!result.beforePutBack) {
        // The changes were read through the link: none of them was chosen.
        ++unseen;
      } else {
        // x and y are chosen whether the changes were read through the real sub
        // (modified, deleted) or while it was the link (both deleted).
        ++tally.done;
        EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
        EXPECT_EQ(readFile(s.folder + "/sub/y"), "y as saved") << "run " << i;
        EXPECT_EQ(pathExists(s.folder + "/sub/z", false), result.removedCount == 0) << "run " << i;
      }
      // The next run starts from the same changes.
      if (!pathExists(s.folder + "/sub/y", false)) writeAs(s.folder + "/sub/y", "y as saved", 0640, intruder);
    }
    tally.print(("put back of chosen changes, " + swap[1] + " <-> link").c_str());
    std::printf("[attack]   %d runs found none of the chosen paths among the changes\n", unseen);
    EXPECT_GT(tally.exchanges, runs);
    EXPECT_GT(tally.done, 0);
  }
  s.expectNothingLeft();
}

TEST_P(Attack, MoveToTheTrashNeverFollowsASwappedTrashFolder) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  const std::string trash = s.home / ".local/share/Trash";
  DirectoryHandle::create(trash + "/files", 0700);
  DirectoryHandle::create(trash + "/info", 0700);
  Scene::linkTo(s.outside, trash + "/files-decoy");
  Scene::linkTo(s.outside, trash + "/info-decoy");
  Tally tally;
  int kept = 0;
  // Fewer: two attackers spin here, and both cores are taken.
  const int trashRuns = runs * 3 / 5;
  for (int i = 0; i < trashRuns; ++i) {
    const std::string changed = "changed " + std::to_string(i) + " of x";
    writeAs(s.folder + "/sub/x", changed, 0644, intruder);
    // The Trash is root's own here, so only root could swap it: the worst case.
    Attacker files({"exchange", trash, "files", "files-decoy"}, false);
    Attacker info({"exchange", trash, "info", "info-decoy"}, false);
    const ToolRun run = s.tool({"restore", s.folder, id, "--file", "sub/x", "--yes"});
    tally.exchanges += exchangesIn(files.stop()) + exchangesIn(info.stop());
    straighten(trash, "files", "files-decoy");
    straighten(trash, "info", "info-decoy");
    ASSERT_EQ(ownedSnapshot(s.outside), s.outsideBefore) << "outside changed at run " << i;
    ASSERT_EQ(run.status, 0) << "run " << i << ": " << ::testing::PrintToString(run);
    ++tally.done;
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
    static const std::regex moved("\nThe replaced copy is at (.*)\\.\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, moved)) << run.out;
    const std::string where = m[1];
    EXPECT_EQ(readFile(where), changed) << "run " << i << " said " << where;
    if (!where.starts_with(trash + "/files/")) {
      // Left beside its old place when the Trash could not be used safely.
      EXPECT_EQ(where.substr(0, s.folder.size() + 7), s.folder + "/sub/x ") << "run " << i;
      ++kept;
      std::remove(where.c_str());
    }
  }
  tally.print("move to the Trash, Trash files and info <-> links");
  std::printf("[attack]   %d replaced copies stayed beside the folder's item\n", kept);
  EXPECT_GT(tally.exchanges, trashRuns);
  s.expectNothingLeft();
}

TEST_P(Attack, AnItemThatAppearsDuringAPutBackSurvives) {
  Scene s(GetParam());
  makeDirectoryAs(s.folder + "/sub/y", 0755, intruder);
  for (int f = 0; f < 300; ++f) writeAs(s.folder + "/sub/y/" + std::to_string(f), "saved " + std::to_string(f), 0644, intruder);
  const std::string id = s.firstSave();
  int appeared = 0;
  for (int i = 0; i < runs; ++i) {
    removeTree(s.folder + "/sub/y");
    const std::string precious = "precious user data " + std::to_string(i);
    Attacker attacker({"appear", s.folder + "/sub", "y", ".redomark-restore-", precious}, true);
    const ToolRun run = s.tool({"restore", s.folder, id, "--file", "sub/y", "--yes"});
    const std::string outcome = attacker.stop();
    ASSERT_EQ(run.status, 0) << "run " << i << ": " << ::testing::PrintToString(run);
    EXPECT_EQ(sortedNames(s.folder + "/sub/y").size(), 300u) << "run " << i;
    EXPECT_EQ(readFile(s.folder + "/sub/y/7"), "saved 7") << "run " << i;
    static const std::regex moved("\nThe replaced copy is at (.*)\\.\n$");
    std::smatch m;
    if (outcome == "created") {
      ++appeared;
      ASSERT_TRUE(std::regex_search(run.out, m, moved)) << "run " << i << " lost it: " << run.out;
      EXPECT_EQ(readFile(m[1]), precious) << "run " << i;
    } else {
      ASSERT_TRUE(outcome.starts_with("late")) << outcome;
      EXPECT_FALSE(std::regex_search(run.out, m, moved)) << run.out;
    }
  }
  std::printf("[attack] put back of a missing item: a file appeared at its name during %d of %d runs\n", appeared, runs);
  EXPECT_GT(appeared, 0);
  s.expectNothingLeft();
}

// A bind mount, taken down again whatever the test does.
class BindMount {
 public:
  BindMount(const std::string& source, const std::string& target) : target_(target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      throw std::runtime_error("cannot bind " + source + " on " + target);
  }
  ~BindMount() { umount2(target_.c_str(), MNT_DETACH); }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;

 private:
  std::string target_;
};

bool mountedAt(const std::string& path) {
  const std::string table = readFile("/proc/self/mountinfo");
  return table.find(" " + path + " ") != std::string::npos;
}

TEST_P(Attack, ABindMountOfTheSameVolumeIsNeitherSavedNorMoved) {
  Scene s(GetParam());
  makeDirectoryAs(s.folder + "/mnt", 0755, intruder);
  writeAs(s.folder + "/mnt/a", "under the mount", 0644, intruder);
  const std::string id = s.firstSave();
  const std::string source = s.work / "elsewhere";
  makeDirectory(source);
  writeFile(source + "/a", "mounted data");
  const TreeSnapshot sourceBefore = ownedSnapshot(source);
  {
    const BindMount bound(source, s.folder + "/mnt");
    const std::string refusal =
        "redomark: " + s.folder + "/mnt contains another disk (a mount point), which can't be saved together with it.\n";
    EXPECT_EQ(s.tool({"save", s.folder}), (ToolRun{1, "", refusal}));

    writeAs(s.folder + "/keep", "changed", 0644, intruder);
    EXPECT_EQ(s.tool({"restore", s.folder, id, "--yes"}), (ToolRun{1, "", refusal}));
    const ToolRun inside = s.tool({"restore", s.folder, id, "--file", "mnt/a", "--yes"});
    EXPECT_EQ(inside, (ToolRun{1, "", "redomark: \"mnt/a\" is not a valid path inside the folder.\n"}));
    const ToolRun itself = s.tool({"restore", s.folder, id, "--file", "mnt", "--yes"});
    EXPECT_TRUE(refusedInOneLine(itself)) << ::testing::PrintToString(itself);
    std::printf("[attack] restore --file of the mount point itself: %s", itself.err.c_str());

    EXPECT_TRUE(mountedAt(s.folder + "/mnt"));
    EXPECT_EQ(readFile(s.folder + "/mnt/a"), "mounted data");
    EXPECT_EQ(readFile(s.folder + "/keep"), "changed");
  }
  EXPECT_EQ(ownedSnapshot(source), sourceBefore);
  EXPECT_EQ(readFile(s.folder + "/mnt/a"), "under the mount");
  EXPECT_EQ(halfMade(s.work.path()), std::vector<std::string>{});
  EXPECT_EQ(halfMade(s.home.path()), std::vector<std::string>{});
  EXPECT_EQ(outsideCopies(s.home.path()), std::vector<std::string>{});
  for (const auto& [relative, facts] : snapshotTree(s.home.path()))
    EXPECT_EQ(facts.find("mounted data"), std::string::npos) << relative;
}

// Descends through relative (any length) from root without a path string.
int openBelow(const std::string& root, const std::string& relative, bool create) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t start = 0; fd >= 0 && start < relative.size();) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    const std::string name = relative.substr(start, end - start);
    if (create) mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
    start = end + 1;
  }
  if (fd < 0) throw std::runtime_error("cannot reach " + relative.substr(0, 100) + "…");
  return fd;
}

void writeBelow(const std::string& root, const std::string& parent, const std::string& bytes) {
  const int dir = openBelow(root, parent, true);
  const int fd = openat(dir, "deep", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(dir);
  const bool whole = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  if (!whole) throw std::runtime_error("cannot write the deep file");
}

std::string readBelow(const std::string& root, const std::string& parent) {
  const int dir = openBelow(root, parent, false);
  const int fd = openat(dir, "deep", O_RDONLY | O_CLOEXEC);
  close(dir);
  std::string bytes(256, '\0');
  const ssize_t n = fd >= 0 ? read(fd, bytes.data(), bytes.size()) : -1;
  close(fd);
  bytes.resize(n > 0 ? n : 0);
  return bytes;
}

std::vector<std::string> namesBelow(const std::string& root, const std::string& parent) {
  DIR* dir = fdopendir(openBelow(root, parent, false));
  std::vector<std::string> names;
  while (dirent* e = readdir(dir))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_P(Attack, RestoreOfAFileUnderSixKilobytesOfPath) {
  Scene s(GetParam());
  std::string parent;
  for (int level = 0; level < 30; ++level) parent += (level ? "/" : "") + std::string(197, 'a' + level % 26) + "-" + std::to_string(level);
  const std::string relative = parent + "/deep";
  ASSERT_GT(relative.size(), 6000u);
  writeBelow(s.folder, parent, "deep as saved");
  const std::string id = s.firstSave();
  writeBelow(s.folder, parent, "deep changed");
  const ToolRun run = s.tool({"restore", s.folder, id, "--file", relative, "--yes"});
  ASSERT_EQ(run.status, 0) << ::testing::PrintToString(run);
  EXPECT_TRUE(run.out.starts_with("Restored \"" + relative + "\" in " + s.folder + " to " + id + ".\n"));
  EXPECT_EQ(readBelow(s.folder, parent), "deep as saved");
  EXPECT_EQ(namesBelow(s.folder, parent), std::vector<std::string>{"deep"});
  EXPECT_EQ(ownedSnapshot(s.outside), s.outsideBefore);
}

INSTANTIATE_TEST_SUITE_P(Volumes, Attack, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const ::testing::TestParamInfo<Volume>& info) {
                           return info.param == Volume::btrfs ? "Btrfs" : "Xfs";
                         });

}  // namespace
}  // namespace redomark::testing
