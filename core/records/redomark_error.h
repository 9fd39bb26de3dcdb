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
  // The string payload (path, reason, id or message); empty for the cases without one.
  const std::string& text() const { return text_; }
  // cloudOnlyFiles examples, ambiguousCheckpoint matches, storeNotCreatable mount point.
  const std::vector<std::string>& list() const { return list_; }
  // cloudOnlyFiles count, notEnoughSpace needed, 1 for containsOtherVolume of a subvolume, copyFailed, swapFailed and storeNotCreatable code.
  int64_t first() const { return first_; }
  // notEnoughSpace available.
  int64_t second() const { return second_; }

  std::string errorDescription() const;
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const RedomarkError& other) const {
    return case_ == other.case_ && text_ == other.text_ && list_ == other.list_ &&
           first_ == other.first_ && second_ == other.second_;
  }

 private:
  RedomarkError(Case c, std::string text, std::vector<std::string> list, int64_t first, int64_t second);

  Case case_;
  std::string text_;
  std::vector<std::string> list_;
  int64_t first_;
  int64_t second_;
  std::string description_;  // built once, so what() never allocates
};

}  // namespace redomark
