// Saves and restores whose system calls the tracer makes fail, one call at a
// time. Each failure ends the tool with its one-line message and status 1 and
// leaves no partial checkpoint, no temporary clone and the folder as it was;
// failing to move the replaced contents aside is no failure. The call counts
// are per thread and count from the tool's start; the messages show which call
// was hit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/fs/safety_policy.h"
#include "core/fs/typed_path.h"
#include "core/operations/redomark.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

enum class Operation { save, restore, restoreItem, restoreMissingItem };

struct Fault {
  const char* what;
  Operation op;
  std::vector<std::string> always;  // strace injections for every call, such as "ioctl:error=EOPNOTSUPP"
  std::string syscall, error;       // the one call made to fail: the first of syscall whose
  std::string marker;               // trace line (paths of descriptors shown) holds marker
  int status;
  // stderr when the tool fails, else stdout; {F} the folder, {P} its parent,
  // {S} its store directory, * any run (ids, random names).
  std::string output;
  int newCheckpoints;
  bool restored;               // else the folder is untouched
  bool temporaryLeft = false;  // the replaced contents stay in the temporary clone
};

const std::string noClone = "ioctl:error=EOPNOTSUPP", noKernelCopy = "copy_file_range:error=EXDEV";
const std::string swapped = "Restored {F} to *.\nThe state before the restore was saved as redomark *, so you can undo this.\n";

const std::vector<Fault> faults = {
    {"clone", Operation::save, {}, "ioctl", "EIO", "/data/sub/b.txt>", 1,
     "redomark: Couldn't copy {F}/sub/b.txt: Input/output error.\n", 0, false},
    {"clone refused", Operation::save, {}, "ioctl", "EACCES", "/data/a.txt>", 1,
     "redomark: Redomark isn't allowed to read {F}/a.txt. Check its permissions, then try again.\n", 0, false},
    {"copy in the kernel", Operation::save, {noClone}, "copy_file_range", "ENOSPC", "/sub/b.txt>", 1,
     "redomark: Couldn't copy {F}/sub/b.txt: No space left on device.\n", 0, false},
    {"copy by writing", Operation::save, {noClone, noKernelCopy}, "write", "EFBIG", "/data/sub/b.txt>", 1,
     "redomark: Couldn't copy {F}/sub/b.txt: File too large.\n", 0, false},
    {"manifest", Operation::save, {}, "write", "ENOSPC", "/manifest.json>", 1,
     "redomark: Couldn't write {S}/*.partial/manifest.json: No space left on device\n", 0, false},
    {"record", Operation::save, {}, "write", "EIO", "/meta.json>", 1,
     "redomark: Couldn't write {S}/*.partial/meta.json: Input/output error\n", 0, false},
    {"making the checkpoint's directory", Operation::save, {}, "mkdirat", "EACCES", ".partial\"", 1,
     "redomark: Couldn't create {S}/*.partial: Permission denied\n", 0, false},
    {"publishing", Operation::save, {}, "renameat2", "EACCES", ".partial\"", 1,
     "redomark: Couldn't move {S}/*.partial: Permission denied\n", 0, false},
    {"saving before a restore", Operation::restore, {}, "renameat2", "EIO", ".partial\"", 1,
     "redomark: Couldn't move {S}/*.partial: Input/output error\n", 0, false},
    {"restore's clone", Operation::restore, {}, "ioctl", "EIO", "/.redomark-restore-", 1,
     "redomark: Couldn't copy {S}/*/data/sub/b.txt: Input/output error.\n", 1, false},
    {"making the temporary clone", Operation::restore, {}, "mkdirat", "ENOSPC", ".redomark-restore-", 1,
     "redomark: Couldn't copy {S}/*/data: No space left on device.\n", 1, false},
    {"exchange", Operation::restore, {}, "renameat2", "EXDEV", "RENAME_EXCHANGE", 1,
     "redomark: Couldn't swap the folders (nothing was changed): Invalid cross-device link.\n", 1, false},
    {"move aside", Operation::restore, {}, "renameat2", "EIO", "(replaced by Redomark)", 0,
     swapped + "The replaced copy is at {P}/.redomark-restore-*.\n", 1, true, true},
    {"move into the Trash", Operation::restore, {}, "renameat2", "EIO", "/Trash/files>", 0,
     swapped + "The replaced copy is at {F} (replaced by Redomark).\n", 1, true},
    {"the Trash's info file", Operation::restore, {}, "write", "ENOSPC", ".trashinfo>", 0,
     swapped + "The replaced copy is at {F} (replaced by Redomark).\n", 1, true},
    {"item exchange", Operation::restoreItem, {}, "renameat2", "EIO", "RENAME_EXCHANGE", 1,
     "redomark: Couldn't swap the folders (nothing was changed): Input/output error.\n", 0, false},
    {"item put in place", Operation::restoreMissingItem, {}, "renameat2", "EIO", ".redomark-restore-", 1,
     "redomark: Couldn't move {F}/.redomark-restore-*: Input/output error\n", 0, false},
};

std::string replaced(std::string text, const std::string& token, const std::string& value) {
  for (size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, token.size(), value);
  return text;
}

// A folder (sub/b.txt, a.txt, a link to it) saved once, so that the store
// exists, and then changed for the operation.
struct Prepared {
  explicit Prepared(Operation op) {
    makeDirectory(home);
    makeDirectory(scratch / "f");
    makeDirectory(scratch / "f/sub");
    writeFile(scratch / "f/sub/b.txt", "two");
    writeFile(scratch / "f/a.txt", "one");
    folder = canonicalPath(scratch / "f");
    parent = canonicalPath(scratch.path());
    if (symlink("a.txt", (folder + "/link").c_str()) != 0) ADD_FAILURE() << "no link";
    saved = snapshotTree(folder);
    EXPECT_EQ(runTool({"save", folder}, home).status, 0);
    writeFile(folder + "/a.txt", "changed!");
    if (op == Operation::restoreMissingItem) std::remove((folder + "/a.txt").c_str());
    args = {"save", folder};
    if (op != Operation::save) args = {"restore", folder, "--yes"};
    if (op == Operation::restoreItem || op == Operation::restoreMissingItem) args.insert(args.end(), {"--file", "a.txt"});
  }
  ScratchDir scratch{Volume::btrfs};
  std::string home = scratch / "home", folder, parent;
  TreeSnapshot saved;
  std::vector<std::string> args;
};

std::vector<std::string> tracer(const Fault& fault, const std::string& log, const std::string& inject) {
  std::vector<std::string> command{"strace", "-f", "-qq", "-y", "-o", log, "-e", "trace=" + fault.syscall};
  for (const std::string& always : fault.always) {
    command[7] += "," + always.substr(0, always.find(':'));
    command.insert(command.end(), {"-e", "inject=" + always});
  }
  if (!inject.empty()) command.insert(command.end(), {"-e", "inject=" + inject});
  return command;
}

// The number, among its thread's calls of the same kind, of the call to fail,
// read from a traced run of the same operation on a copy of the setup (other
// calls, such as the sanitizers' own writes, come and go with the build).
int callNumber(const Fault& fault) {
  Prepared probe(fault.op);
  const std::string log = probe.scratch / "trace";
  runTool(probe.args, probe.home, tracer(fault, log, ""));
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
    SCOPED_TRACE(fault.what);
    const int call = callNumber(fault);
    const Prepared setup(fault.op);
    const std::string &home = setup.home, &folder = setup.folder, &parent = setup.parent;
    const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
    const std::string store = engine.storeFor(folder).folderDirectory(folder);
    const bool item = fault.op == Operation::restoreItem || fault.op == Operation::restoreMissingItem;
    const auto state = [&] {
      TreeSnapshot tree = snapshotTree(folder);
      if (item) tree.erase("");  // the folder's own times change with every entry made in it
      return tree;
    };
    const TreeSnapshot before = state();
    const ToolRun run = runTool(setup.args, home,
                                tracer(fault, "/dev/null", fault.syscall + ":error=" + fault.error + ":when=" + std::to_string(call)));
    const std::string expected =
        replaced(replaced(replaced(fault.output, "{F}", folder), "{P}", parent), "{S}", store);
    EXPECT_EQ(run.status, fault.status) << run.err;
    EXPECT_TRUE(matchesPattern(fault.status == 0 ? run.out : run.err, expected))
        << "stdout: " << run.out << "stderr: " << run.err << "expected: " << expected;
    if (fault.status != 0) {
      EXPECT_EQ(run.out, "");
    }

    TreeSnapshot expectedState = fault.restored ? setup.saved : before;
    if (item) expectedState.erase("");
    EXPECT_TRUE(state() == expectedState) << (fault.restored ? "not restored" : "the folder changed");
    EXPECT_EQ(expectWholeCheckpoints(engine, folder).size(), 1u + fault.newCheckpoints);
    EXPECT_EQ(leftoverNames(store), std::vector<std::string>{});
    EXPECT_EQ(leftoverNames(folder), std::vector<std::string>{});
    EXPECT_EQ(leftoverNames(parent).size(), fault.temporaryLeft ? 1u : 0u);
    if (fault.status == 0) {  // the previous contents are where the report says
      const std::string at = run.out.substr(run.out.rfind(" at ") + 4);
      EXPECT_EQ(readFile(at.substr(0, at.size() - 2) + "/a.txt"), "changed!");
    }
    const std::string trash = home + "/.local/share/Trash";
    EXPECT_EQ(sortedNames(trash + "/info").size(), sortedNames(trash + "/files").size()) << "an orphan info file";
  }
}

}  // namespace
}  // namespace redomark::testing
