// The tool run as root on a folder another user can write, while that user
// swaps a directory on the way for a link to a folder outside, over and over.
// Whatever the timing, nothing outside may change, each run either does its
// work on the real folder or says in one line why it did not, and nothing
// half-made is left behind.

#include <signal.h>
#include <sys/mount.h>

#include <deque>
#include <functional>

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

// Nobody on the machine: setpriv takes a bare number.
constexpr uid_t intruder = 4242;
constexpr int runs = 100;

// The attacker program at work as the intruder until stop.
class Attacker {
 public:
  explicit Attacker(const std::vector<std::string>& args) {
    std::string command = "exec";
    for (const std::string& w : asUid(intruder)) command += " '" + w + "'";
    command += " " REDOMARK_ATTACKER;
    for (const std::string& w : args) command += " '" + w + "'";
    out_ = popen(command.c_str(), "re");
    if (!out_ || std::sscanf(line().c_str(), "ready %d", &pid_) != 1) throw std::runtime_error("no attacker");
  }
  ~Attacker() { stop(); }
  // Ends it; its report, such as "exchanged 812".
  std::string stop() {
    if (!out_) return "";
    ::kill(pid_, SIGTERM);
    const std::string report = line();
    pclose(std::exchange(out_, nullptr));
    return report;
  }

 private:
  std::string line() {
    char text[256] = {};
    return fgets(text, sizeof text, out_) ? std::string(text, strcspn(text, "\n")) : "";
  }
  FILE* out_ = nullptr;
  int pid_ = -1;
};

// snapshotTree with each item's owner and group in front.
TreeSnapshot ownedSnapshot(const std::string& root) {
  TreeSnapshot tree = snapshotTree(root);
  for (auto& [relative, facts] : tree) {
    const struct stat st = statusOf(relative.empty() ? root : root + "/" + relative);
    facts = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + facts;
  }
  return tree;
}

// Where a run says it put the replaced copy, "" when it says nothing.
std::string replacedAt(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex("\nThe replaced copy is at (.*)\\.\n$")) ? m[1].str() : "";
}

// One line behind "redomark: ", status 1, nothing on standard output; when
// known, one of the texts a run may stop with when a folder on its way changed
// under it (the folder's own name was the link, or the device, when first resolved).
bool refusedInOneLine(const ToolRun& run, bool known = false) {
  static const std::regex line("redomark: [^\n]+\n"), expected(
      "redomark: (.* changed while Redomark was working on it \\(a folder on its way was moved or replaced by a "
      "link\\), so it was left as it is\\.|\"[^\"]*\" is not a valid path inside the folder\\.|There are no "
      "saved redomarks for .*/outside\\.|.* is not a folder\\.)\n");
  return run.status == 1 && !run.signaled && run.out.empty() && std::regex_match(run.err, known ? expected : line);
}

// One attack: the attackers exchange the two names of each swap {directory, real, decoy} while run works;
// prepare (optional) sets the folder up beforehand and check sees every run. Run -1 is one unhindered run
// afterwards, which must do its work: on a busy machine the attackers may win every other.
struct Race {
  std::string name;
  std::vector<std::vector<std::string>> swaps;
  std::function<ToolRun()> run;
  std::function<void(const ToolRun&, int)> check;
  std::function<void(int)> prepare = [](int) {};
  int count = runs;  // fewer where two attackers spin, as both cores are taken
};

// A folder shared with the intruder, beside an outside folder of root's and
// others' files with the same names, and a HOME of root's own on the volume.
struct Scene {
  explicit Scene(Volume volume) : home(volume), work(volume) {
    chmod(work.path().c_str(), 0755);
    writeFiles(outside, {{"x", "outside secret x"}, {"keep", "outside secret keep"}, {"y/inner", "outside secret y"},
                         {"sub/x", "outside secret sub x"}});
    writeFiles(folder, {{"keep", "keep as saved"}, {"sub/x", "x as saved"}, {"sub/y", "y as saved"},
                        {"sub/private/p", "private as saved"}});
    for (const auto& [relative, facts] : snapshotTree(shared))
      lchown((shared + "/" + relative).c_str(), intruder, intruder);
    outsideBefore = ownedSnapshot(outside);
    std::filesystem::create_symlink(outside, folder + "/lnk");
    std::filesystem::create_symlink(outside, shared + "/decoy");
  }

  ToolRun tool(const std::vector<std::string>& args) const { return runTool(args, home.path()); }
  std::string firstSave() const { return savedId(tool({"save", folder})); }

  void attack(const Race& a) const {
    SCOPED_TRACE(a.name);
    long exchanges = 0;
    for (int i = 0; i < a.count; ++i) {
      a.prepare(i);
      std::deque<Attacker> attackers;
      for (const auto& swap : a.swaps)
        attackers.emplace_back(std::vector<std::string>{"exchange", swap[0], swap[1], swap[2]});
      const ToolRun run = a.run();
      for (size_t k = 0; k < a.swaps.size(); ++k) {
        long n = 0;
        std::sscanf(attackers[k].stop().c_str(), "exchanged %ld", &n);
        exchanges += n;
        // The real directory gets its name back if the attacker stopped half way.
        const std::string real = a.swaps[k][0] + "/" + a.swaps[k][1], decoy = a.swaps[k][0] + "/" + a.swaps[k][2];
        if (std::filesystem::is_symlink(real) && !std::filesystem::is_symlink(decoy) &&
            renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, decoy.c_str(), RENAME_EXCHANGE) != 0)
          throw std::runtime_error("cannot exchange back " + real);
      }
      EXPECT_EQ(ownedSnapshot(outside), outsideBefore) << "outside changed at run " << i;
      EXPECT_TRUE(run.status == 0 || refusedInOneLine(run, true))
          << "run " << i << ": " << ::testing::PrintToString(run);
      a.check(run, i);
    }
    std::printf("[attack] %s: %ld exchanges\n", a.name.c_str(), exchanges);
    EXPECT_GT(exchanges, a.count);
    a.prepare(-1);
    const ToolRun unhindered = a.run();
    EXPECT_EQ(unhindered.status, 0) << "unhindered: " << ::testing::PrintToString(unhindered);
    a.check(unhindered, -1);
  }

  // No temporary clone or unfinished checkpoint anywhere, and nothing from the outside (or a mount) in HOME.
  void expectNothingLeft() const {
    EXPECT_EQ(ownedSnapshot(outside), outsideBefore);
    for (const std::string& root : {home.path(), work.path()})
      for (const auto& [relative, facts] : snapshotTree(root)) {
        const std::string name = relative.substr(relative.rfind('/') + 1);
        EXPECT_FALSE(name.starts_with(".redomark-restore-") || name.ends_with(".partial") ||
                     (root == home.path() && std::regex_search(facts, std::regex("outside secret|mounted data"))))
            << root << "/" << relative;
      }
  }

  TemporaryHome home;  // HOME for the engine run in this process too
  ScratchDir work;
  std::string outside = work / "outside", shared = work / "shared", folder = shared + "/folder";
  TreeSnapshot outsideBefore;
  // The folder itself, then its sub folder, swapped for a link to the outside.
  std::vector<std::vector<std::string>> swaps = {{shared, "folder", "decoy"}, {folder, "sub", "lnk"}};
};

class Attack : public ::testing::TestWithParam<Volume> {};

TEST_P(Attack, NothingOutsideChangesWhileAFolderOnTheWayIsSwappedForALink) {
  Scene s(GetParam());
  const std::string id = s.firstSave();
  const CheckpointStore store(s.home.path() + "/.local/share/Redomark/Checkpoints");
  // Reading a volume's facts for root never opens what a link swapped in for
  // the folder points at (a device here) other than to look at it.
  std::filesystem::create_symlink("/dev/kmsg", s.shared + "/device");
  const std::string trace = s.work / "trace";
  const std::vector<std::string> strace = {"strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o", trace};
  const std::regex opened("kmsg(?![^\n]*O_PATH)");  // the flags follow the path on each line
  s.attack({"list, folder <-> link to a device", {{s.shared, "folder", "device"}},
            [&] { return runTool({"list", s.folder}, s.home.path(), strace); },
            [&](const ToolRun&, int i) { EXPECT_FALSE(std::regex_search(readFile(trace), opened)) << "run " << i; }});

  // A whole restore while the folder is swapped; one file's while its parent is (the folder itself is opened
  // alike for both).
  for (const auto& [item, swap] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"", s.swaps[0]}, {"sub/x", s.swaps[1]}}) {
    const std::string target = item.empty() ? s.folder : "\"" + item + "\" in " + s.folder;
    const std::string path = s.folder + (item.empty() ? "/keep" : "/sub/x"), saved = readFile(path);
    std::vector<std::string> args = {"restore", s.folder, id, "--yes"};
    if (!item.empty()) args.insert(args.end(), {"--file", item});
    const auto changed = [](int i) { return "changed " + std::to_string(i); };
    s.attack({"restore " + item + ", " + swap[1] + " <-> link", {swap}, [&] { return s.tool(args); },
              [&](const ToolRun& run, int i) {
                EXPECT_TRUE(run.status == 0 || readFile(path) == changed(i)) << "run " << i;
                if (run.status != 0) return;
                EXPECT_TRUE(run.out.starts_with("Restored " + target + " to " + id + ".\n")) << run.out;
                if (!std::filesystem::is_symlink(s.shared + "/decoy")) {
                  // The link was exchanged in the folder's place just before the swap: the
                  // link went to the Trash, and the restored copy holds one of the names.
                  EXPECT_TRUE(readFile(s.folder + "/keep") == "keep as saved" ||
                              readFile(s.shared + "/decoy/keep") == "keep as saved")
                      << "run " << i;
                  removeTree(s.shared + "/decoy");
                  std::filesystem::create_symlink(s.outside, s.shared + "/decoy");
                  return;
                }
                EXPECT_EQ(readFile(path) + readFile(s.folder + "/sub/x"), saved + "x as saved")
                    << "run " << i << ": " << run.out;
                if (item.empty()) return;
                EXPECT_EQ(readFile(replacedAt(run.out)), changed(i)) << "run " << i << ": " << run.out;
              },
              [&](int i) { writeFile(path, changed(i)); }});
  }

  // A put back of chosen changes never puts back an unchosen one nor writes outside.
  const Redomark engine;
  PutBackResult result;
  s.attack({"put back of chosen changes, folder and sub <-> link", s.swaps,
            [&] {
              try {
                result = engine.putBackChanges(s.folder, id, {"sub/x", "sub/y", "sub/z"}, nullptr);
                return ToolRun{0, "", ""};
              } catch (const std::exception& e) {
                return ToolRun{1, "", std::string("redomark: ") + e.what() + "\n"};
              }
            },
            [&](const ToolRun& run, int i) {
              EXPECT_EQ(readFile(s.folder + "/keep"), "changed " + std::to_string(i))
                  << "an unchosen change was put back at run " << i;
              // Read through the link, none of the changes was chosen; x and y are chosen whether the changes
              // were read through the real sub (modified, deleted) or while it was the link (both deleted).
              if (run.status == 0 && (result.beforePutBack || i < 0)) {
                EXPECT_TRUE(result.beforePutBack);
                EXPECT_EQ(readFile(s.folder + "/sub/x") + readFile(s.folder + "/sub/y"), "x as savedy as saved")
                    << "run " << i;
                EXPECT_EQ(pathExists(s.folder + "/sub/z", false), result.removedCount == 0) << "run " << i;
              }
            },
            [&](int i) {
              result = {};
              writeFiles(s.folder, {{"keep", "changed " + std::to_string(i)},
                                    {"sub/x", "changed " + std::to_string(i)},
                                    {"sub/z", "added"}});
              std::remove((s.folder + "/sub/y").c_str());
            },
            runs * 3 / 5});
  // Last, as its many saves outdo how many are kept. Each of the two names holds the link or the real sub folder,
  // never the outside. An entry renamed while its directory is read may be left out of the listing (Btrfs numbers
  // it anew); the save then never saw it.
  s.attack({"save, sub <-> link", {s.swaps[1]}, [&] { return s.tool({"save", s.folder}); },
            [&](const ToolRun& run, int i) {
              if (run.status != 0) return;
              const std::string data = store.folderDirectory(s.folder) + "/" + savedId(run) + "/data";
              EXPECT_EQ(readFile(data + "/keep"), readFile(s.folder + "/keep")) << "run " << i;
              for (const std::string name : {"/sub", "/lnk"})
                EXPECT_TRUE(!pathExists(data + name, false) || std::filesystem::is_symlink(data + name) ||
                            readFile(data + name + "/x") + readFile(data + name + "/private/p") ==
                                "x as savedprivate as saved")
                    << "run " << i << name;
            }});

  s.expectNothingLeft();
}

TEST_P(Attack, AnItemThatAppearsDuringAPutBackSurvives) {
  Scene s(GetParam());
  emptyFiles(s.folder + "/sub/w", 300);
  const std::string id = s.firstSave();
  int appeared = 0;
  for (int i = 0; i < runs; ++i) {
    removeTree(s.folder + "/sub/w");
    const std::string precious = "precious user data " + std::to_string(i);
    Attacker attacker({"appear", s.folder + "/sub", "w", ".redomark-restore-", precious});
    const ToolRun run = s.tool({"restore", s.folder, id, "--file", "sub/w", "--yes"});
    const std::string outcome = attacker.stop();
    ASSERT_TRUE(run.status == 0 && sortedNames(s.folder + "/sub/w").size() == 300u)
        << "run " << i << ": " << ::testing::PrintToString(run);
    ASSERT_TRUE(outcome == "created" || outcome.starts_with("late")) << outcome;
    appeared += outcome == "created";
    const std::string where = replacedAt(run.out);
    EXPECT_EQ(outcome == "created" ? readFile(where) : where, outcome == "created" ? precious : "")
        << "run " << i << ": " << run.out;
  }
  std::printf("[attack] put back of a missing item: a file appeared at its name during %d of %d runs\n", appeared,
              runs);
  EXPECT_GT(appeared, 0);
  s.expectNothingLeft();
}

TEST_P(Attack, ABindMountOfTheSameVolumeIsNeitherSavedNorMoved) {
  Scene s(GetParam());
  writeFiles(s.folder, {{"mnt/a", "under the mount"}});
  const std::string id = s.firstSave(), source = s.work / "elsewhere", target = s.folder + "/mnt";
  writeFiles(source, {{"a", "mounted data"}});
  const TreeSnapshot sourceBefore = ownedSnapshot(source);
  ASSERT_EQ(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0);
  writeFile(s.folder + "/keep", "changed");
  EXPECT_EQ(s.tool({"restore", s.folder, id, "--file", "mnt/a", "--yes"}),
            failed(1, "\"mnt/a\" is not a valid path inside the folder."));
  const ToolRun itself = s.tool({"restore", s.folder, id, "--file", "mnt", "--yes"});
  EXPECT_TRUE(refusedInOneLine(itself)) << ::testing::PrintToString(itself);
  EXPECT_EQ(readFile(target + "/a") + readFile(s.folder + "/keep"), "mounted datachanged");
  ASSERT_EQ(umount2(target.c_str(), MNT_DETACH), 0);
  EXPECT_EQ(ownedSnapshot(source), sourceBefore);
  EXPECT_EQ(readFile(target + "/a"), "under the mount");
  s.expectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Volumes, Attack, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
