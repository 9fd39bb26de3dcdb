// How every verb of core/fs reports a failure: the errno, what was being done
// and the path it was done to, and nothing else to consult; or, for a
// condition an engine finds itself (an item changed under it, a cancel, no
// room left), which one it was and what it names. A verb whose failure is an
// answer its caller acts on (a missing entry, a link on the way) returns it in
// an FsResult or FsStatus; a verb whose failure ends the work throws it. No
// verb leaves errno for its caller to read. Operations turn an FsError into
// RedomarkError; nothing else in the core sees it.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace redomark {

// What was being done, as the message names it.
enum class FsOperation { open, create, read, write, move, remove, list, examine, trash, readDisk, run, compare, copy };

class FsError : public std::exception {
 public:
  // What went wrong: a call that failed, or a condition found by an engine,
  // which the operations each report in words of their own.
  enum class Kind { failedCall, changed, cancelled, otherVolume, notEnoughSpace, notAllowedToWrite };

  // A failed call. detail, when given, stands in the message where the
  // errno's text would.
  FsError(int code, FsOperation operation, std::string path, std::string detail = {});
  // The item at path was moved, or replaced by a link or by another kind of
  // item, while it was worked on.
  static FsError changed(std::string path);
  // The operation's control was cancelled.
  static FsError cancelled();
  // A mount (another volume) starts at path, inside the tree being worked on.
  static FsError otherVolume(std::string path);
  // Work that must leave a reserve free needs neededBytes, and only
  // availableBytes are free.
  static FsError notEnoughSpace(int64_t neededBytes, int64_t availableBytes);
  // Making an entry in the directory at path was refused: code is EACCES or EPERM.
  static FsError notAllowedToWrite(std::string path, int code);

  Kind kind() const { return kind_; }
  // The errno of a failed call or a refused write; 0 for the other kinds.
  int code() const { return code_; }
  // What a failed call was doing.
  FsOperation operation() const { return operation_; }
  // The item the error names; empty for cancelled and notEnoughSpace.
  const std::string& path() const { return path_; }
  int64_t neededBytes() const { return neededBytes_; }
  int64_t availableBytes() const { return availableBytes_; }
  // "Couldn't open /a/b: No such file or directory", and the like.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  FsError(Kind kind, int code, std::string path, std::string message);

  Kind kind_ = Kind::failedCall;
  int code_;
  FsOperation operation_ = FsOperation::run;  // meaningful for failedCall only
  std::string path_;
  int64_t neededBytes_ = 0;  // notEnoughSpace only, as is the next
  int64_t availableBytes_ = 0;
  std::string message_;  // built once, so what() never allocates
};

// Throws FsError(errno, operation, path): for the call that just failed.
[[noreturn]] void throwErrno(FsOperation operation, const std::string& path);

// A value, or the FsError that kept it from being made. Reads as an optional
// does; value() throws the error.
template <typename T>
class FsResult {
 public:
  FsResult(T value) : value_(std::move(value)) {}
  FsResult(FsError error) : error_(std::move(error)) {}

  bool has_value() const { return value_.has_value(); }
  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& value() & {
    if (!value_) throw *error_;
    return *value_;
  }
  T&& value() && { return std::move(value()); }
  // Only when there is no value.
  const FsError& error() const { return *error_; }
  int code() const { return value_ ? 0 : error_->code(); }
  // Equal to a value as an optional is: only when it holds an equal one.
  template <typename U>
  bool operator==(const U& other) const {
    return value_.has_value() && *value_ == other;
  }
  // The value, or nothing for a caller to whom any failure means absent.
  std::optional<T> orNothing() && { return std::move(value_); }

 private:
  std::optional<T> value_;
  std::optional<FsError> error_;
};

// Success, or the FsError of a verb that has no value to return.
class FsStatus {
 public:
  FsStatus() = default;
  FsStatus(FsError error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  // Only when it failed.
  const FsError& error() const { return *error_; }
  // 0, or the errno of the failure.
  int code() const { return error_ ? error_->code() : 0; }
  void check() const {
    if (error_) throw *error_;
  }

 private:
  std::optional<FsError> error_;
};

}  // namespace redomark
