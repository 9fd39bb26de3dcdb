// Saves and restores whose system calls the tracer makes fail, one call at a
// time. Each failure ends the tool with its one-line message and status 1 and
// leaves no partial checkpoint, no temporary clone and the folder as it was;
// failing to move the replaced contents aside is no failure. The call counts
// are per thread and count from the tool's start (or, for a fault within a
// path, count only the calls on that path); the messages show which call was
// hit.
#include <sstream>

#include "core/fs/path_text.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

enum class Operation { save, restore, restoreItem, restoreMissingItem };

struct Fault {
  Operation op;
  std::string syscall, error;  // the one call made to fail: the first of syscall whose
  std::string marker;          // trace line (paths of descriptors shown) holds marker
  // What the tool prints, less its last newline: stderr after "redomark: "
  // when it fails, stdout when it restored; {F} the folder, {P} its parent,
  // {S} its store directory, * any run (ids, random names).
  std::string output;
  int newCheckpoints;
  bool restored = false;       // with status 0, else status 1 and the folder untouched
  bool temporaryLeft = false;  // the replaced contents stay in the temporary clone
  // Where a restore copies the checkpoint while it saves the folder, a call
  // made by both threads is counted only within this path ({D}: the saved tree).
  std::string within = "";
};

const std::string swapped =
    "Restored {F} to *.\nThe state before the restore was saved as redomark *, so you can undo this.\n"
    "The replaced copy is at ";

using enum Operation;
const std::vector<Fault> faults = {
    {save, "ioctl", "EIO", "/data/sub/b.txt>", "Couldn't copy {F}/sub/b.txt: Input/output error.", 0},
    {save, "copy_file_range", "ENOSPC", "/sub/b.txt>", "Couldn't copy {F}/sub/b.txt: No space left on device.", 0},
    {save, "write", "ENOSPC", "/manifest.json>",
     "Couldn't write {S}/*.partial/manifest.json: No space left on device", 0},
    {restore, "renameat2", "EIO", ".partial\"", "Couldn't move {S}/*.partial: Input/output error", 0},
    {restore, "getdents64", "EIO", "/data/sub>", "Couldn't copy {S}/*/data/sub: Input/output error.", 1, false, false,
     "{D}/sub"},
    {restore, "renameat2", "EXDEV", "RENAME_EXCHANGE",
     "Couldn't swap the folders (nothing was changed): Invalid cross-device link.", 1},
    {restore, "renameat2", "EIO", "(replaced by Redomark)", swapped + "{P}/.redomark-restore-*.", 1, true, true},
    {restore, "renameat2", "EIO", "/Trash/files>", swapped + "{F} (replaced by Redomark).", 1, true},
    {restore, "write", "ENOSPC", ".trashinfo>", swapped + "{F} (replaced by Redomark).", 1, true},
    {restoreItem, "renameat2", "EIO", "RENAME_EXCHANGE",
     "Couldn't swap the folders (nothing was changed): Input/output error.", 0},
    {restoreMissingItem, "renameat2", "EIO", ".redomark-restore-",
     "Couldn't move {F}/.redomark-restore-*: Input/output error", 0},
};

// A folder (sub/b.txt, a.txt) saved once, so that the store
// exists, and then changed for the operation.
struct Prepared {
  explicit Prepared(Operation op) {
    makeDirectory(home);
    writeFiles(scratch / "f", {{"sub/b.txt", "two"}, {"a.txt", "one"}});
    folder = canonicalPath(scratch / "f");
    parent = canonicalPath(scratch.path());
    saved = snapshotTree(folder);
    EXPECT_EQ(runTool({"save", folder}, home).status, 0);
    const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
    store = engine.storeFor(folder).folderDirectory(folder);
    data = engine.storeFor(folder).dataDirectory(engine.listCheckpoints(folder).at(0));
    writeFile(folder + "/a.txt", "changed!");
    if (op == Operation::restoreMissingItem) std::remove((folder + "/a.txt").c_str());
    args = {op == Operation::save ? "save" : "restore", folder};
    if (op != Operation::save) args.push_back("--yes");
    if (op >= Operation::restoreItem) args.insert(args.end(), {"--file", "a.txt"});
  }
  // text with {F} the folder, {P} its parent, {S} its store directory and {D} its saved tree.
  std::string expand(std::string text) const {
    for (const auto& [token, value] : {std::pair{"{F}", folder}, {"{P}", parent}, {"{S}", store}, {"{D}", data}})
      text = std::regex_replace(text, std::regex("\\" + std::string(token)), value);
    return text;
  }

  ScratchDir scratch{Volume::btrfs};
  std::string home = scratch / "home", folder, parent, store, data;
  TreeSnapshot saved;
  std::vector<std::string> args;
};

std::vector<std::string> traced(const Fault& fault, const Prepared& setup, const std::string& log,
                                std::vector<std::string> injections = {}) {
  // copy_file_range is reached only where cloning is refused.
  if (fault.syscall == "copy_file_range") injections.push_back("ioctl:error=EOPNOTSUPP");
  return tracer(injections, log, fault.syscall, setup.expand(fault.within));
}

// The number, among its thread's calls of the same kind, of the call to fail,
// read from a traced run of the same operation on a copy of the setup (other
// calls, such as the sanitizers' own writes, come and go with the build).
int callNumber(const Fault& fault) {
  Prepared probe(fault.op);
  const std::string log = probe.scratch / "trace";
  runTool(probe.args, probe.home, traced(fault, probe, log));
  std::istringstream lines(readFile(log));
  std::map<std::string, int> calls;
  for (std::string line; std::getline(lines, line);) {
    // "<thread id>, padded with spaces, <call>(": the call's start, not its resumption.
    const std::string thread = line.substr(0, line.find(' '));
    const size_t call = line.find_first_not_of(' ', thread.size());
    if (call == std::string::npos || line.compare(call, fault.syscall.size() + 1, fault.syscall + "(") != 0) continue;
    ++calls[thread];
    if (line.find(fault.marker) != std::string::npos) return calls[thread];
  }
  ADD_FAILURE() << "no " << fault.syscall << " call with " << fault.marker;
  return 0;
}

TEST(FaultInjection, FailedCallsLeaveTheFolderAndStoreAsTheyWere) {
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.syscall + " " + fault.error + " at " + fault.marker);
    const int call = callNumber(fault);
    const Prepared setup(fault.op);
    const std::string &home = setup.home, &folder = setup.folder, &parent = setup.parent, &store = setup.store;
    const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
    const TreeSnapshot before = snapshotTree(folder);
    const ToolRun run = runTool(
        setup.args, home,
        traced(fault, setup, "/dev/null", {fault.syscall + ":error=" + fault.error + ":when=" + std::to_string(call)}));
    const std::string expected = setup.expand((fault.restored ? "" : "redomark: ") + fault.output + "\n");
    EXPECT_TRUE(run.status == (fault.restored ? 0 : 1) && (fault.restored || run.out.empty()) &&
                matchesPattern(fault.restored ? run.out : run.err, expected))
        << ::testing::PrintToString(run) << " expected: " << expected;

    // Less the folder's own times, which change with every entry an item's restore makes in it.
    EXPECT_TRUE(withoutRoot(snapshotTree(folder)) == withoutRoot(fault.restored ? setup.saved : before))
        << (fault.restored ? "not restored" : "the folder changed");
    EXPECT_EQ(expectWholeCheckpoints(engine, folder).size(), 1u + fault.newCheckpoints);
    EXPECT_EQ(leftoverNames(store).size() + leftoverNames(folder).size() + leftoverNames(parent).size(),
              fault.temporaryLeft ? 1u : 0u);
    if (fault.restored) {  // the previous contents are where the report says
      const std::string at = run.out.substr(run.out.rfind(" at ") + 4);
      EXPECT_EQ(readFile(at.substr(0, at.size() - 2) + "/a.txt"), "changed!");
    }
    const std::string trash = home + "/.local/share/Trash";
    EXPECT_EQ(sortedNames(trash + "/info").size(), sortedNames(trash + "/files").size()) << "an orphan info file";
  }
}

// Saves and restores on a nearly full volume, cloning turned off by the tracer
// where it says so (every file copied byte by byte). A save refuses to copy a
// file that would eat into its free-space reserve; a restore's copy that runs
// out of space fails with one line and status 1; both leave the folder as it
// was and give the space back; the space check refuses a save with the exact
// figures.
constexpr int64_t MiB = 1024 * 1024;

// Free space as the tool reads it, once the file system has given back what
// was freed (Btrfs does when its transaction commits).
int64_t availableBytes(const std::string& path) {
  sync();
  return static_cast<int64_t>(std::filesystem::space(path).available);
}

// Takes space with a new file until about `leave` bytes are free.
void fillUntil(const std::string& path, int64_t leave) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fallocate(fd, 0, 0, availableBytes(parentPath(path)) - leave), 0);
  close(fd);
}

TEST(DiskFull, RunningOutOfSpaceLeavesTheFolderAndStoreAsTheyWere) {
  ScratchDir scratch(Volume::small);
  const std::string parent = canonicalPath(scratch.path()), home = parent + "/home", folder = parent + "/f";
  makeDirectory(home);
  // No copy-on-write, as a virtual disk would be: it is still cloned.
  writeFiles(folder, {{"big", ""}, {"small.txt", "small"}});
  setInodeFlags(folder + "/big", FS_NOCOW_FL, true);
  writeFile(folder + "/big", std::string(80 * MiB, 'x'));
  const int64_t freeBeforeSave = availableBytes(parent);
  ASSERT_EQ(runTool({"save", folder}, home).status, 0);
  EXPECT_GT(availableBytes(parent), freeBeforeSave - 4 * MiB) << "it was copied, not cloned";
  const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
  const std::string store = engine.storeFor(folder).folderDirectory(folder);
  const std::string firstData = engine.storeFor(folder).dataDirectory(engine.listCheckpoints(folder).at(0));
  const std::vector<std::string> copyOnly = tracer({"ioctl:error=EOPNOTSUPP", "copy_file_range:error=EXDEV"});

  // One of the outcomes: a message, and how many checkpoints it adds.
  using Outcome = std::pair<std::string, size_t>;
  const auto expectCleanFailure = [&](const std::vector<std::string>& args, const std::vector<std::string>& launcher,
                                      const std::vector<Outcome>& outcomes) {
    const TreeSnapshot before = snapshotTree(folder);
    const int64_t free = availableBytes(parent);
    const size_t earlier = engine.listCheckpoints(folder).size();
    const ToolRun run = runTool(args, home, launcher);
    const size_t checkpoints = expectWholeCheckpoints(engine, folder).size() - earlier;
    const auto happened = [&](const Outcome& o) {
      return matchesPattern(run.err, "redomark: " + o.first + "\n") && checkpoints == o.second;
    };
    EXPECT_TRUE(run.status == 1 && run.out.empty() && std::any_of(outcomes.begin(), outcomes.end(), happened))
        << ::testing::PrintToString(run) << checkpoints << " new checkpoints; expected: " << outcomes.front().first;
    EXPECT_EQ(snapshotTree(folder), before);
    EXPECT_EQ(leftoverNames(store).size() + leftoverNames(parent).size(), 0u);
    EXPECT_GT(availableBytes(parent), free - 4 * MiB) << "the space of the failed copy was not given back";
  };

  // Room for the space check, not for copying 80 MB beyond its reserve of 64 MiB and 2 KiB for each of the 2 items.
  fillUntil(parent + "/filler", 88 * MiB);
  expectCleanFailure({"save", folder}, copyOnly,
                     {{"Not enough free space: about " + std::to_string(64 * MiB + 2 * 2048 + 80 * MiB) +
                           " bytes needed, * available.",
                       0}});
  // The save before the restore copies only the small file; the restore's copy of the checkpoint, which still
  // holds the big one, runs out. Made while the save runs, that copy may leave the save too little to start.
  fillUntil(parent + "/filler1", 72 * MiB);
  std::remove((folder + "/big").c_str());
  writeFile(folder + "/small.txt", "changed");
  expectCleanFailure({"restore", folder, "--yes"}, copyOnly,
                     {{"Couldn't copy " + firstData + "/big: No space left on device.", 1},
                      {"Not enough free space: about 67110912 bytes needed, * available.", 0}});

  // 64 MiB and 2 KiB for the one item, and exactly what the tool saw free.
  fillUntil(parent + "/filler2", 40 * MiB);
  expectCleanFailure(
      {"save", folder}, {},
      {{"Not enough free space: about 67110912 bytes needed, " + std::to_string(availableBytes(parent)) + " available.",
        0}});
}

}  // namespace
}  // namespace redomark::testing
