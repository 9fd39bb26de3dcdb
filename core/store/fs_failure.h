// Where a failure of core/fs becomes the core's one error: the same sentence,
// as RedomarkError::io. Only the store and the operations call these, each at
// its own boundary.
#pragma once

#include <string>

#include "core/fs/fs_error.h"
#include "core/records/redomark_error.h"

namespace redomark {

inline RedomarkError fsFailure(const FsError& error) { return RedomarkError::io(error.what()); }
inline RedomarkError fsFailure(int code, FsOperation operation, const std::string& path) {
  return fsFailure(FsError(code, operation, path));
}

}  // namespace redomark
