// How every verb of core/fs reports a failure: the errno, what was being done
// and the path it was done to, and nothing else to consult. A verb whose
// failure is an answer its caller acts on (a missing entry, a link on the
// way) returns it in an FsResult or FsStatus; a verb whose failure ends the
// work throws it. No verb leaves errno for its caller to read. Operations turn
// an FsError into RedomarkError; nothing else in the core sees it.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace redomark {

// What was being done, as the message names it.
enum class FsOperation { open, create, read, write, move, remove, list, examine, trash, readDisk, run, compare };

class FsError : public std::exception {
 public:
  // detail, when given, stands in the message where the errno's text would.
  FsError(int code, FsOperation operation, std::string path, std::string detail = {});

  int code() const { return code_; }
  FsOperation operation() const { return operation_; }
  const std::string& path() const { return path_; }
  // "Couldn't open /a/b: No such file or directory", and the like.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int code_;
  FsOperation operation_;
  std::string path_;
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
