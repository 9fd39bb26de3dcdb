// Where a failure of core/fs becomes the core's one error, in the words the
// user has always been shown for it: a failed call as its own sentence, a
// condition an engine found as the case that names it. Only the store and the
// operations call these, each at its own boundary.
#pragma once

#include <string>

#include "core/fs/fs_error.h"
#include "core/records/redomark_error.h"

namespace redomark {

RedomarkError fsFailure(const FsError& error);
inline RedomarkError fsFailure(int code, FsOperation operation, const std::string& path) {
  return fsFailure(FsError(code, operation, path));
}

}  // namespace redomark
