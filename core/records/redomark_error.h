// The one error that the core raises for every condition it detects itself.
// A case with its payload; what() is the finished sentence the user sees.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace redomark {

class RedomarkError : public std::exception {
 public:
  enum class Case {
    notADirectory,
    forbiddenLocation,
    containsStore,
    insideStore,
    unsupportedVolume,
    containsOtherVolume,
    cloudOnlyFiles,
    notEnoughSpace,
    checkpointNotFound,
    ambiguousCheckpoint,
    noCheckpoints,
    invalidRelativePath,
    notInCheckpoint,
    copyFailed,
    swapFailed,
    busy,
    specialFile,
    io,
    cancelled,
    pathChanged,
    unsafeStore,
    storeNotCreatable,
    invalidFolderName,
    checkpointDeleted,
  };

  static RedomarkError notADirectory(std::string path);
  static RedomarkError forbiddenLocation(std::string path);
  static RedomarkError containsStore(std::string path);
  static RedomarkError insideStore(std::string path);
  static RedomarkError unsupportedVolume(std::string reason);
  static RedomarkError containsOtherVolume(std::string path);
  // The containsOtherVolume case for a nested Btrfs subvolume, with its own text.
  static RedomarkError containsSubvolume(std::string path);
  static RedomarkError cloudOnlyFiles(int64_t count, std::vector<std::string> examples);
  static RedomarkError notEnoughSpace(int64_t needed, int64_t available);
  static RedomarkError checkpointNotFound(std::string id);
  static RedomarkError ambiguousCheckpoint(std::string id, std::vector<std::string> matches);
  static RedomarkError noCheckpoints(std::string folder);
  static RedomarkError invalidRelativePath(std::string relativePath);
  static RedomarkError notInCheckpoint(std::string path);
  static RedomarkError copyFailed(std::string path, int32_t code);
  static RedomarkError swapFailed(int32_t code);
  static RedomarkError busy(std::string folder);
  static RedomarkError specialFile(std::string path);
  static RedomarkError io(std::string message);
  static RedomarkError cancelled();
  static RedomarkError pathChanged(std::string path);
  static RedomarkError unsafeStore(std::string path);
  static RedomarkError storeNotCreatable(std::string mountPoint, std::string path, int32_t code);
  static RedomarkError invalidFolderName(std::string path);
  // A checkpoint withdrawn while a reader without the folder lock was reading it.
  static RedomarkError checkpointDeleted();

  Case errorCase() const { return case_; }
  // The path, reason, id or message the case names; empty for the cases without one.
  const std::string& text() const { return payload_.text; }
  // cloudOnlyFiles: how many files, and the first few of them.
  int64_t count() const { return payload_.count; }
  const std::vector<std::string>& examples() const { return payload_.names; }
  // ambiguousCheckpoint: the ids the prefix matches.
  const std::vector<std::string>& matches() const { return payload_.names; }
  // notEnoughSpace: bytes the work needs and bytes the volume has.
  int64_t needed() const { return payload_.needed; }
  int64_t available() const { return payload_.available; }
  // containsOtherVolume: whether the other volume is a nested Btrfs subvolume.
  bool isSubvolume() const { return payload_.subvolume; }
  // copyFailed, swapFailed and storeNotCreatable: the errno of the failed call.
  int32_t code() const { return payload_.code; }
  // storeNotCreatable: the mount point of the volume whose store is missing.
  const std::string& mountPoint() const { return payload_.mountPoint; }

  std::string errorDescription() const;
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const RedomarkError& other) const {
    return case_ == other.case_ && payload_ == other.payload_;
  }

 private:
  struct Payload {
    std::string text = {};
    std::vector<std::string> names = {};  // examples or matches
    std::string mountPoint = {};
    int64_t count = 0;
    int64_t needed = 0;
    int64_t available = 0;
    int32_t code = 0;
    bool subvolume = false;

    bool operator==(const Payload&) const = default;
  };

  RedomarkError(Case c, Payload payload);

  Case case_;
  Payload payload_;
  std::string description_;  // built once, so what() never allocates
};

}  // namespace redomark
