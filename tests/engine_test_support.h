// What the tests share to set scenes up and look at what is left, by path
// (the tool itself works through held directories): a temporary HOME on a
// test volume, files with chosen bytes, times and flags, listings, snapshots
// of trees, checks of a store, and the built tool run as a child process.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/clone_engine.h"
#include "core/fs/walker.h"
#include "core/operations/redomark.h"
#include "core/records/checkpoint.h"
#include "core/records/redomark_error.h"
#include "core/store/checkpoint_store.h"

namespace redomark {

// True when something exists at path; followLinks false examines a final link itself.
bool pathExists(const std::string& path, bool followLinks = true);
// Unshared bytes below the directory at path, reached without a link; 0 when
// it cannot be opened.
int64_t privateSpaceBelow(const std::string& path);
// Walks the directory at path, reached without a link; nothing to deliver
// when it is missing or not a directory, FsError as the walk's own.
void walk(const std::string& path, const OperationControl* control, const WalkVisitor& visit,
          WalkPace pace = WalkPace::oneThread);

}  // namespace redomark

namespace redomark::testing {

// small: a 256 MiB Btrfs volume that only the disk-full test uses, as it fills it.
enum class Volume { btrfs, btrfs2, xfs, small, noClone };

// Mount point (or, for noClone, a folder on the ext4 root file system).
// Throws, failing the calling test, when the volume is missing or of the
// wrong type.
std::string volumeRoot(Volume volume);

// A fresh, uniquely named folder on a volume, removed with its contents when
// the value goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(Volume volume);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Points HOME at a fresh folder on the volume for the value's lifetime, so the
// engine's default store lives there.
class TemporaryHome {
 public:
  explicit TemporaryHome(Volume volume);
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return scratch_.path(); }

 private:
  ScratchDir scratch_;
  std::optional<std::string> previous_;
};

// Creates or truncates path and writes bytes, committed. Throws.
void writeFile(const std::string& path, const std::string& bytes);
// The whole file, "" when it cannot be read.
std::string readFile(const std::string& path);
// Creates path and its missing parents; new directories get exactly mode. Throws.
void createDirectories(const std::string& path, mode_t mode = 0777);
// Removes path and, for a directory, everything below it; never follows links. Throws.
void removeTree(const std::string& path);
// length bytes that differ from block to block, so no file system can fold them; seed picks which.
std::string uniqueBytes(size_t length, uint32_t seed);
// lstat(2) of path; a test failure when there is nothing.
struct stat statusOf(const std::string& path);
inline void makeDirectory(const std::string& path) { createDirectories(path, 0755); }
void setMtimeNs(const std::string& path, int64_t ns);
// Permission bits (links not followed), 0 when nothing is there.
mode_t permissions(const std::string& path);
// Sets (on) or clears inode flags such as FS_NOCOW_FL.
void setInodeFlags(const std::string& path, int flags, bool on);
// Names in a directory, sorted, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> sortedNames(const std::string& directory);
// cloneEntry between two absolute paths, their parents opened as the engine
// opens them. Its failure is thrown as the operations report it.
CloneContext cloneTree(const std::string& source, const std::string& destination, std::optional<int64_t> total,
                       OperationControl* control);
// Runs body in a child process as uid (group uid, no other groups), where
// permission bits hold, and returns what it returned.
std::string asUser(uid_t uid, const std::function<std::string()>& body);
// What a checkpoint of a few small files holds alone besides its data: its
// record, its manifest and the file system's records of its copies.
constexpr int64_t fewItemsRecords = 16 * 1024;
// Whether measured is data plus no more than those of that many checkpoints.
inline bool dataAndFewRecords(int64_t measured, int64_t data, int64_t checkpoints = 1) {
  return measured > data && measured < data + checkpoints * fewItemsRecords;
}
// What a shell command prints on its standard output.
std::string outputOf(const std::string& command);
// Descriptors this process has open, to show that nothing leaks.
int openDescriptors();

// Everything a restore must give back, read from disk for comparison:
// path (relative, "" for the root itself) -> "kind mode size mtime|contents".
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(const std::string& root);

// Every checkpoint listed for folder is whole: its "meta.json" decodes to the
// listed record, its "manifest.json" decodes, and its saved tree walks to
// exactly that manifest (gtest failures otherwise). Returns the listed
// checkpoints, oldest first.
std::vector<Checkpoint> expectWholeCheckpoints(const Redomark& engine, const std::string& folder);
// Sorted names in directory that a failed or interrupted operation leaves:
// ".partial", ".deleting-" and ".redomark-restore-" entries.
std::vector<std::string> leftoverNames(const std::string& directory);
// True when text is pattern with each '*' of pattern standing for any run of
// characters (random ids and names in messages).
bool matchesPattern(const std::string& text, const std::string& pattern);

// Store contents for the store's tests: a record, published in store with its
// "meta.json" and, unless it exists, an empty "data".
Checkpoint record(const std::string& folder, const std::string& id, double createdAt,
                  Checkpoint::Kind kind = Checkpoint::Kind::manual, int64_t totalBytes = 0);
Checkpoint publish(const CheckpointStore& store, const Checkpoint& c);
std::vector<std::string> ids(const std::vector<Checkpoint>& list);

// The error a piece of test code throws; the test fails when nothing is thrown.
template <typename Body>
RedomarkError errorOf(Body body) {
  try {
    body();
  } catch (const RedomarkError& e) {
    return e;
  }
  ADD_FAILURE() << "no RedomarkError was thrown";
  return RedomarkError::io("<nothing thrown>");
}

// The built tool run as a child process with a HOME of the test's choosing, so
// that its default store lands on a test volume; its output is captured.
struct ToolRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
  bool signaled = false;  // ended by a signal, not by exiting
  bool operator==(const ToolRun&) const = default;
};

// Starts the tool with args, behind launcher (a program and its arguments,
// such as a tracer) when one is given; throws std::system_error when it
// cannot start. Killed if it has not been waited for by the end.
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& home,
              const std::vector<std::string>& launcher = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  void kill(int signal) const;
  // Waits for the end and collects what it wrote.
  ToolRun wait();

 protected:
  ToolProcess() = default;
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
};

// The tool on a pseudo-terminal of its own, as when typed at a shell: the
// terminal is its standard input, output and error, and what it shows is
// collected into out.
class TerminalProcess : public ToolProcess {
 public:
  TerminalProcess(const std::vector<std::string>& args, const std::string& home);
  // As if typed: "\x03" is Ctrl-C.
  void type(std::string_view bytes) const;
  // Reads until what the terminal showed contains text at or after from;
  // returns the offset just past it, or npos when the tool ended first.
  size_t readUntil(std::string_view text, size_t from = 0);
  ToolRun wait();

 private:
  bool readMore();
  std::string shown_;
};

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher = {});

}  // namespace redomark::testing
