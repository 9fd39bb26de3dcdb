// The tool run as root on a folder another user can write, while that user
// swaps a directory on the way for a link to a folder outside, over and over.
// Whatever the timing, nothing outside may change, each run either does its
// work on the real folder or says in one line why it did not, and nothing
// half-made is left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/operations/redomark.h"
#include "tests/command_line_fixture.h"
#include "tests/engine_test_support.h"
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
    std::vector<std::string> words = asIntruder ? asUid(intruder) : std::vector<std::string>{};
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
    if (code != 0) pid_ = -1;
    const std::string first = code == 0 ? readLine() : "";
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
  long exchanges() {
    long n = 0;
    return std::sscanf(stop().c_str(), "exchanged %ld", &n) == 1 ? n : 0;
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

// Below root: temporary clones and unfinished checkpoints, and files whose
// contents came from the outside folder.
std::vector<std::string> halfMadeOrOutside(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& [relative, facts] : snapshotTree(root)) {
    const std::string name = relative.substr(relative.rfind('/') + 1);
    if (name.starts_with(".redomark-restore-") || name.ends_with(".partial") ||
        facts.find("outside secret") != std::string::npos)
      found.push_back(relative);
  }
  return found;
}

// After the attacker stopped half way, the real directory gets its name back.
void straighten(const std::string& directory, const std::string& real, const std::string& decoy) {
  const std::string a = directory + "/" + real, b = directory + "/" + decoy;
  if (isSymlink(a) && !isSymlink(b) && renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
    throw std::runtime_error("cannot exchange back " + a);
}

// A file holding bytes or, without them, a directory; with mode and owner.
void placeAs(const std::string& path, std::optional<std::string> bytes, mode_t mode, uid_t user) {
  bytes ? writeFile(path, *bytes) : makeDirectory(path);
  if (chmod(path.c_str(), mode) != 0 || lchown(path.c_str(), user, user) != 0)
    throw std::runtime_error("cannot own " + path);
}

// Where a run says it put the replaced copy, "" when it says nothing.
std::string replacedAt(const std::string& out) {
  static const std::regex moved("\nThe replaced copy is at (.*)\\.\n$");
  std::smatch m;
  return std::regex_search(out, m, moved) ? m[1].str() : "";
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

// One line behind "redomark: ", status 1, nothing on standard output.
bool refusedInOneLine(const ToolRun& run) {
  static const std::regex line("redomark: [^\n]+\n");
  return run.status == 1 && !run.signaled && run.out.empty() && std::regex_match(run.err, line);
}

// What the runs of one attack came to, printed for the record.
struct Tally {
  int done = 0;
  std::map<std::string, int> refusals;
  long exchanges = 0;

  // Counts a run: true when it did its work, else its refusal must be one of the known lines.
  bool counts(const ToolRun& run, const std::string& folder, int i) {
    if (run.status == 0) return ++done, true;
    EXPECT_TRUE(refusedInOneLine(run) && expectedRefusal(run.err)) << "run " << i << ": " << ::testing::PrintToString(run);
    std::string text = run.err;
    for (size_t at; (at = text.find(folder)) != std::string::npos;) text.replace(at, folder.size(), "<folder>");
    ++refusals[text];
    return false;
  }
  void print(const std::string& attack, int expectedRuns = runs) const {
    std::printf("[attack] %s: %d runs did their work, %ld exchanges\n", attack.c_str(), done, exchanges);
    for (const auto& [text, n] : refusals) std::printf("[attack]   %d refused: %s", n, text.c_str());
    EXPECT_GT(exchanges, expectedRuns);
  }
};

// A folder shared with the intruder, beside an outside folder of root's and
// others' files with the same names, and a HOME of root's own on the volume.
struct Scene {
  explicit Scene(Volume volume) : home(volume), work(volume) {
    chmod(work.path().c_str(), 0755);
    makeDirectory(outside);
    placeAs(outside + "/x", "outside secret x", 0600, 0);
    placeAs(outside + "/keep", "outside secret keep", 0640, intruder + 1);
    placeAs(outside + "/y", {}, 0700, 0);
    placeAs(outside + "/y/inner", "outside secret inner", 0600, 0);
    placeAs(outside + "/sub", {}, 0750, 0);
    placeAs(outside + "/sub/x", "outside secret sub x", 0644, 0);
    outsideBefore = ownedSnapshot(outside);

    placeAs(shared, {}, 0755, intruder);
    placeAs(folder, {}, 0755, intruder);
    placeAs(folder + "/keep", "keep as saved", 0644, intruder);
    placeAs(folder + "/sub", {}, 0755, intruder);
    placeAs(folder + "/sub/x", "x as saved", 0644, intruder);
    placeAs(folder + "/sub/private", {}, 0700, intruder);
    placeAs(folder + "/sub/private/p", "private as saved", 0600, intruder);
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
  // body run while attackers exchange the two names of each swap {directory, real, decoy}; the
  // names are straightened after, and the outside must be as it was.
  template <typename Body>
  auto underAttack(const std::vector<std::vector<std::string>>& swaps, bool asIntruder, Tally& tally, Body body) const {
    std::vector<std::unique_ptr<Attacker>> attackers;
    for (const auto& swap : swaps)
      attackers.push_back(std::make_unique<Attacker>(std::vector<std::string>{"exchange", swap[0], swap[1], swap[2]}, asIntruder));
    const auto result = body();
    for (auto& attacker : attackers) tally.exchanges += attacker->exchanges();
    for (const auto& swap : swaps) straighten(swap[0], swap[1], swap[2]);
    EXPECT_EQ(ownedSnapshot(outside), outsideBefore) << "outside changed";
    return result;
  }
  void expectNothingLeft() const {
    EXPECT_EQ(ownedSnapshot(outside), outsideBefore);
    EXPECT_EQ(halfMadeOrOutside(home.path()), std::vector<std::string>{});
    for (const auto& [relative, facts] : snapshotTree(work.path())) {
      const std::string name = relative.substr(relative.rfind('/') + 1);
      EXPECT_FALSE(name.starts_with(".redomark-restore-") || name.ends_with(".partial")) << relative;
    }
  }

  ScratchDir home, work;
  std::string outside = work / "outside", shared = work / "shared", folder = shared + "/folder";
  TreeSnapshot outsideBefore;
  // The folder itself, then its sub folder, swapped for a link to the outside.
  std::vector<std::vector<std::string>> swaps = {{shared, "folder", "decoy"}, {folder, "sub", "lnk"}};
};

class Attack : public ::testing::TestWithParam<Volume> {
 protected:
  Attack() { setenv("TZ", "UTC", 1), setenv("LC_ALL", "C.UTF-8", 1); }
};

TEST_P(Attack, SaveCopiesOnlyTheFolderWhileSubIsSwappedForALink) {
  Scene s(GetParam());
  s.firstSave();
  const Redomark engine(s.home.path() + "/.local/share/Redomark/Checkpoints");
  Tally tally;
  int missed = 0;
  for (int i = 0; i < runs; ++i) {
    const ToolRun run = s.underAttack({s.swaps[1]}, true, tally, [&] { return s.tool({"save", s.folder}); });
    if (!tally.counts(run, s.folder, i)) continue;
    ASSERT_TRUE(run.out.starts_with("Saved redomark ") && run.out.find(" of " + s.folder + " (") != std::string::npos)
        << run.out;
    std::optional<Checkpoint> saved;
    for (const Checkpoint& c : engine.listCheckpoints(s.folder))
      if (c.id == savedId(run)) saved = c;
    ASSERT_TRUE(saved) << run.out;
    const FsResult<DirectoryHandle> data = engine.storeFor(s.folder).openData(*saved);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->readFile("keep"), "keep as saved");
    // Each of the two names holds the link or the real sub folder, never the outside.
    for (const std::string name : {"sub", "lnk"}) {
      const std::optional<ItemStatus> entry = data->status(name);
      // An entry renamed while its directory is read may be left out of the
      // listing (Btrfs numbers it anew); the save then never saw it.
      missed += !entry;
      if (!entry || entry->kind == EntryKind::symlink) continue;
      const FsResult<DirectoryHandle> sub = data->child(name);
      ASSERT_TRUE(sub) << name;
      EXPECT_EQ(sub->readFile("x"), "x as saved") << "run " << i;
      const FsResult<DirectoryHandle> hidden = sub->descend("private");
      ASSERT_TRUE(hidden) << "run " << i;
      EXPECT_EQ(hidden->readFile("p"), "private as saved") << "run " << i;
    }
  }
  tally.print("save, sub <-> link");
  std::printf("[attack]   %d times a name renamed during the listing was not listed\n", missed);
  // On a busy machine the attacker may win every run; unhindered, the same save does its work.
  EXPECT_EQ(s.tool({"save", s.folder}).status, 0);
  s.expectNothingLeft();
}

// Reading a volume's facts for root never opens what a link swapped in for
// the folder points at (a device here) other than to look at it.
TEST_P(Attack, ListNeverOpensADeviceSwappedInForTheFolder) {
  Scene s(GetParam());
  s.firstSave();
  Scene::linkTo("/dev/kmsg", s.shared + "/device");
  const std::string trace = s.work / "trace";
  Tally tally;
  int opened = 0;
  for (int i = 0; i < runs; ++i) {
    const ToolRun run = s.underAttack({{s.shared, "folder", "device"}}, true, tally, [&] {
      return runTool({"list", s.folder}, s.home.path(),
                     {"strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o", trace});
    });
    // Whatever the path led to, one line says what was found.
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), run.status == 0 ? 0 : 1) << run.err;
    if (run.status == 0) ++tally.done;
    else ++tally.refusals[run.err];
    for (size_t from = 0, end; (end = readFile(trace).find('\n', from)) != std::string::npos; from = end + 1) {
      const std::string line = readFile(trace).substr(from, end - from);
      if (line.find("kmsg") != std::string::npos && line.find("O_PATH") == std::string::npos) {
        ++opened;
        ADD_FAILURE() << "run " << i << ": " << line;
      }
    }
  }
  EXPECT_EQ(opened, 0);
  tally.print("list, folder <-> link to a device");
}

TEST_P(Attack, WholeRestoreNeverExchangesTheOutsideFolder) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  Tally tally;
  int decoyTaken = 0;
  for (int i = 0; i < runs; ++i) {
    const std::string changed = "changed " + std::to_string(i);
    placeAs(s.folder + "/keep", changed, 0644, intruder);
    const ToolRun run = s.underAttack({s.swaps[0]}, true, tally, [&] { return s.tool({"restore", s.folder, id, "--yes"}); });
    if (!tally.counts(run, s.folder, i)) {
      EXPECT_EQ(readFile(s.folder + "/keep"), changed) << "run " << i;
      continue;
    }
    ASSERT_TRUE(run.out.starts_with("Restored " + s.folder + " to " + id + ".\n")) << run.out;
    if (!isSymlink(s.shared + "/decoy")) {
      // The link was exchanged in the folder's place just before the swap: the
      // link went to the Trash, and the restored copy holds one of the names.
      ++decoyTaken;
      const bool restored = readFile(s.folder + "/keep") == "keep as saved" ||
                            readFile(s.shared + "/decoy/keep") == "keep as saved";
      EXPECT_TRUE(restored) << "run " << i;
      removeTree(s.shared + "/decoy");
      Scene::linkTo(s.outside, s.shared + "/decoy");
      placeAs(s.folder + "/keep", "keep as saved", 0644, intruder);
      continue;
    }
    EXPECT_EQ(readFile(s.folder + "/keep"), "keep as saved") << "run " << i << ": " << run.out;
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
  }
  tally.print("whole restore, folder <-> link");
  std::printf("[attack]   %d runs found the link in the folder's place at the swap\n", decoyTaken);
  // Most runs meet the link first; unhindered, the same restore does its work.
  placeAs(s.folder + "/keep", "changed", 0644, intruder);
  EXPECT_EQ(s.tool({"restore", s.folder, id, "--yes"}).status, 0);
  EXPECT_EQ(readFile(s.folder + "/keep"), "keep as saved");
  s.expectNothingLeft();
}

TEST_P(Attack, RestoreOfOneFileNeverWritesThroughASwappedParent) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  for (const std::vector<std::string>& swap : s.swaps) {
    Tally tally;
    for (int i = 0; i < runs; ++i) {
      const std::string changed = "changed " + std::to_string(i) + " of x";
      placeAs(s.folder + "/sub/x", changed, 0644, intruder);
      const ToolRun run = s.underAttack({swap}, true, tally, [&] {
        return s.tool({"restore", s.folder, id, "--file", "sub/x", "--yes"});
      });
      if (!tally.counts(run, s.folder, i)) {
        EXPECT_EQ(readFile(s.folder + "/sub/x"), changed) << "run " << i;
        continue;
      }
      ASSERT_TRUE(run.out.starts_with("Restored \"sub/x\" in " + s.folder + " to " + id + ".\n")) << run.out;
      EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
      ASSERT_NE(replacedAt(run.out), "") << run.out;
      EXPECT_EQ(readFile(replacedAt(run.out)), changed) << "run " << i;
    }
    tally.print("restore --file sub/x, " + swap[1] + " <-> link");
    placeAs(s.folder + "/sub/x", "changed", 0644, intruder);
    EXPECT_EQ(s.tool({"restore", s.folder, id, "--file", "sub/x", "--yes"}).status, 0);
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved");
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
  placeAs(s.folder + "/sub/y", "y as saved", 0640, intruder);
  const std::string id = s.firstSave();
  const HomeFor home(s.home.path());
  const Redomark engine;
  for (const std::vector<std::string>& swap : s.swaps) {
    Tally tally;
    int unseen = 0;
    for (int i = 0; i < runs; ++i) {
      const std::string changed = "changed " + std::to_string(i);
      placeAs(s.folder + "/keep", changed, 0644, intruder);
      placeAs(s.folder + "/sub/x", changed, 0644, intruder);
      placeAs(s.folder + "/sub/z", "added " + std::to_string(i), 0644, intruder);
      if (std::remove((s.folder + "/sub/y").c_str()) != 0) FAIL() << "sub/y was not there at run " << i;
      PutBackResult result;
      const ToolRun run = s.underAttack({swap}, true, tally, [&] {
        try {
          result = engine.putBackChanges(s.folder, id, {"sub/x", "sub/y", "sub/z"}, nullptr);
          return ToolRun{0, "", ""};
        } catch (const std::exception& e) {
          return ToolRun{1, "", std::string("redomark: ") + e.what() + "\n"};
        }
      });
      EXPECT_EQ(readFile(s.folder + "/keep"), changed) << "an unchosen change was put back at run " << i;
      if (!tally.counts(run, s.folder, i)) {
      } else if (!result.beforePutBack) {
        // The changes were read through the link: none of them was chosen.
        --tally.done, ++unseen;
      } else {
        // x and y are chosen whether the changes were read through the real sub
        // (modified, deleted) or while it was the link (both deleted).
        EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
        EXPECT_EQ(readFile(s.folder + "/sub/y"), "y as saved") << "run " << i;
        EXPECT_EQ(pathExists(s.folder + "/sub/z", false), result.removedCount == 0) << "run " << i;
      }
      // The next run starts from the same changes.
      if (!pathExists(s.folder + "/sub/y", false)) placeAs(s.folder + "/sub/y", "y as saved", 0640, intruder);
    }
    tally.print("put back of chosen changes, " + swap[1] + " <-> link");
    std::printf("[attack]   %d runs found none of the chosen paths among the changes\n", unseen);
    placeAs(s.folder + "/sub/x", "changed", 0644, intruder);
    const PutBackResult unhindered = engine.putBackChanges(s.folder, id, {"sub/x"}, nullptr);
    EXPECT_TRUE(unhindered.beforePutBack);
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved");
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
    placeAs(s.folder + "/sub/x", changed, 0644, intruder);
    // The Trash is root's own here, so only root could swap it: the worst case.
    const ToolRun run = s.underAttack({{trash, "files", "files-decoy"}, {trash, "info", "info-decoy"}}, false, tally,
                                      [&] { return s.tool({"restore", s.folder, id, "--file", "sub/x", "--yes"}); });
    ASSERT_EQ(run.status, 0) << "run " << i << ": " << ::testing::PrintToString(run);
    ++tally.done;
    EXPECT_EQ(readFile(s.folder + "/sub/x"), "x as saved") << "run " << i;
    const std::string where = replacedAt(run.out);
    ASSERT_NE(where, "") << run.out;
    EXPECT_EQ(readFile(where), changed) << "run " << i << " said " << where;
    if (!where.starts_with(trash + "/files/")) {
      // Left beside its old place when the Trash could not be used safely.
      EXPECT_EQ(where.substr(0, s.folder.size() + 7), s.folder + "/sub/x ") << "run " << i;
      ++kept;
      std::remove(where.c_str());
    }
  }
  tally.print("move to the Trash, Trash files and info <-> links", trashRuns);
  std::printf("[attack]   %d replaced copies stayed beside the folder's item\n", kept);
  s.expectNothingLeft();
}

TEST_P(Attack, AnItemThatAppearsDuringAPutBackSurvives) {
  Scene s(GetParam());
  placeAs(s.folder + "/sub/y", {}, 0755, intruder);
  for (int f = 0; f < 300; ++f) placeAs(s.folder + "/sub/y/" + std::to_string(f), "saved " + std::to_string(f), 0644, intruder);
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
    if (outcome == "created") {
      ++appeared;
      ASSERT_NE(replacedAt(run.out), "") << "run " << i << " lost it: " << run.out;
      EXPECT_EQ(readFile(replacedAt(run.out)), precious) << "run " << i;
    } else {
      ASSERT_TRUE(outcome.starts_with("late")) << outcome;
      EXPECT_EQ(replacedAt(run.out), "") << run.out;
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

TEST_P(Attack, ABindMountOfTheSameVolumeIsNeitherSavedNorMoved) {
  Scene s(GetParam());
  placeAs(s.folder + "/mnt", {}, 0755, intruder);
  placeAs(s.folder + "/mnt/a", "under the mount", 0644, intruder);
  const std::string id = s.firstSave();
  const std::string source = s.work / "elsewhere";
  makeDirectory(source);
  writeFile(source + "/a", "mounted data");
  const TreeSnapshot sourceBefore = ownedSnapshot(source);
  {
    const BindMount bound(source, s.folder + "/mnt");
    const ToolRun refusal =
        failed(1, s.folder + "/mnt contains another disk (a mount point), which can't be saved together with it.");
    EXPECT_EQ(s.tool({"save", s.folder}), refusal);
    placeAs(s.folder + "/keep", "changed", 0644, intruder);
    EXPECT_EQ(s.tool({"restore", s.folder, id, "--yes"}), refusal);
    EXPECT_EQ(s.tool({"restore", s.folder, id, "--file", "mnt/a", "--yes"}),
              failed(1, "\"mnt/a\" is not a valid path inside the folder."));
    const ToolRun itself = s.tool({"restore", s.folder, id, "--file", "mnt", "--yes"});
    EXPECT_TRUE(refusedInOneLine(itself)) << ::testing::PrintToString(itself);
    std::printf("[attack] restore --file of the mount point itself: %s", itself.err.c_str());

    EXPECT_NE(readFile("/proc/self/mountinfo").find(" " + s.folder + "/mnt "), std::string::npos) << "unmounted";
    EXPECT_EQ(readFile(s.folder + "/mnt/a"), "mounted data");
    EXPECT_EQ(readFile(s.folder + "/keep"), "changed");
  }
  EXPECT_EQ(ownedSnapshot(source), sourceBefore);
  EXPECT_EQ(readFile(s.folder + "/mnt/a"), "under the mount");
  s.expectNothingLeft();
  for (const auto& [relative, facts] : snapshotTree(s.home.path()))
    EXPECT_EQ(facts.find("mounted data"), std::string::npos) << relative;
}

// The directory at relative (any length) below root, reached a name at a time
// and named through /proc, so that no path string is longer than a few names.
class Below {
 public:
  Below(const std::string& root, const std::string& relative, bool create) {
    fd_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t start = 0; fd_ >= 0 && start < relative.size();) {
      const size_t end = std::min(relative.find('/', start), relative.size());
      const std::string name = relative.substr(start, end - start);
      if (create) mkdirat(fd_, name.c_str(), 0755);
      const int next = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      close(fd_);
      fd_ = next;
      start = end + 1;
    }
    if (fd_ < 0) throw std::runtime_error("cannot reach " + relative.substr(0, 100) + "…");
  }
  ~Below() { close(fd_); }
  std::string operator/(const std::string& name) const { return "/proc/self/fd/" + std::to_string(fd_) + "/" + name; }

 private:
  int fd_ = -1;
};

TEST_P(Attack, RestoreOfAFileUnderSixKilobytesOfPath) {
  Scene s(GetParam());
  std::string parent;
  for (int level = 0; level < 30; ++level) parent += (level ? "/" : "") + std::string(197, 'a' + level % 26) + "-" + std::to_string(level);
  const std::string relative = parent + "/deep";
  ASSERT_GT(relative.size(), 6000u);
  writeFile(Below(s.folder, parent, true) / "deep", "deep as saved");
  const std::string id = s.firstSave();
  writeFile(Below(s.folder, parent, false) / "deep", "deep changed");
  const ToolRun run = s.tool({"restore", s.folder, id, "--file", relative, "--yes"});
  ASSERT_EQ(run.status, 0) << ::testing::PrintToString(run);
  EXPECT_TRUE(run.out.starts_with("Restored \"" + relative + "\" in " + s.folder + " to " + id + ".\n"));
  const Below after(s.folder, parent, false);
  EXPECT_EQ(readFile(after / "deep"), "deep as saved");
  EXPECT_EQ(sortedNames(after / ""), std::vector<std::string>{"deep"});
  EXPECT_EQ(ownedSnapshot(s.outside), s.outsideBefore);
}

INSTANTIATE_TEST_SUITE_P(Volumes, Attack, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const ::testing::TestParamInfo<Volume>& info) {
                           return info.param == Volume::btrfs ? "Btrfs" : "Xfs";
                         });

}  // namespace
}  // namespace redomark::testing
