// What the tests share to set scenes up and look at what is left, by path
// (the tool itself works through held directories): a temporary HOME on a
// test volume, files with chosen bytes, times and flags, listings.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "core/fs/clone_engine.h"
#include "tests/path_helpers.h"
#include "tests/test_volumes.h"

namespace redomark::testing {

// Points HOME at a fresh folder on the volume for the value's lifetime, so the
// engine's default store lives there.
class TemporaryHome {
 public:
  explicit TemporaryHome(Volume volume);
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return scratch_.path(); }
  std::string defaultStoreRoot() const { return path() + "/.local/share/Redomark/Checkpoints"; }

 private:
  ScratchDir scratch_;
  std::optional<std::string> previous_;
};

// Creates or truncates path and writes bytes, committed. Throws.
void writeFile(const std::string& path, const std::string& bytes);
// Creates path and its missing parents; new directories get exactly mode. Throws.
void createDirectories(const std::string& path, mode_t mode = 0777);
// Removes path and, for a directory, everything below it; never follows links. Throws.
void removeTree(const std::string& path);
// True when path itself (not followed) is a symbolic link.
bool isSymlink(const std::string& path);
// length bytes that differ from block to block, so no file system can fold them; seed picks which.
std::string uniqueBytes(size_t length, uint32_t seed);
// lstat(2) of path; a test failure when there is nothing.
struct stat statusOf(const std::string& path);
void makeDirectory(const std::string& path);
int64_t mtimeNs(const std::string& path);
void setMtimeNs(const std::string& path, int64_t ns);
// Permission bits (links not followed), 0 when nothing is there.
mode_t permissions(const std::string& path);
// Sets (on) or clears inode flags such as FS_NOCOW_FL.
void setInodeFlags(const std::string& path, int flags, bool on);
// Names in a directory, sorted, without "." and ".."; nothing when it cannot be listed.
std::optional<std::vector<std::string>> listNames(const std::string& directory);
// The same, empty when it cannot be listed.
std::vector<std::string> sortedNames(const std::string& directory);
// cloneEntry between two absolute paths, their parents opened as the engine
// opens them.
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

}  // namespace redomark::testing
