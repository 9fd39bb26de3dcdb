#include "core/store/fs_failure.h"

namespace redomark {

RedomarkError fsFailure(const FsError& error) {
  switch (error.kind()) {
    case FsError::Kind::changed: return RedomarkError::pathChanged(error.path());
    case FsError::Kind::cancelled: return RedomarkError::cancelled();
    case FsError::Kind::otherVolume: return RedomarkError::containsOtherVolume(error.path());
    case FsError::Kind::notEnoughSpace: return RedomarkError::notEnoughSpace(error.neededBytes(), error.availableBytes());
    case FsError::Kind::notAllowedToWrite:
      // The place a copy goes is at fault, not what is copied.
      return RedomarkError::io("Redomark isn't allowed to write in " + error.path() +
                               ". Check its permissions, then try again.");
    case FsError::Kind::failedCall: break;
  }
  if (error.operation() == FsOperation::copy) return RedomarkError::copyFailed(error.path(), error.code());
  return RedomarkError::io(error.what());
}

}  // namespace redomark
