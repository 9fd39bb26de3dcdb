#include "core/fs/fs_error.h"

#include <cerrno>
#include <cstring>

namespace redomark {

namespace {

std::string messageOf(int code, FsOperation operation, const std::string& path, const std::string& detail) {
  const std::string cause = ": " + (detail.empty() ? std::string(std::strerror(code)) : detail);
  switch (operation) {
    case FsOperation::open: return "Couldn't open " + path + cause;
    case FsOperation::create: return "Couldn't create " + path + cause;
    case FsOperation::read: return "Couldn't read " + path + cause;
    case FsOperation::write: return "Couldn't write " + path + cause;
    case FsOperation::move: return "Couldn't move " + path + cause;
    case FsOperation::remove: return "Couldn't remove " + path + cause;
    case FsOperation::list: return "Couldn't list " + path + cause;
    case FsOperation::examine: return "Couldn't examine " + path + cause;
    case FsOperation::trash: return "Couldn't move " + path + " to the Trash" + cause;
    case FsOperation::readDisk: return "Couldn't read the disk of " + path + ".";
    case FsOperation::run: return "Couldn't run " + path + cause;
    case FsOperation::compare: return "Couldn't compare " + path + cause;
  }
  return path + cause;
}

}  // namespace

FsError::FsError(int code, FsOperation operation, std::string path, std::string detail)
    : code_(code), operation_(operation), path_(std::move(path)) {
  message_ = messageOf(code_, operation_, path_, detail);
}

void throwErrno(FsOperation operation, const std::string& path) { throw FsError(errno, operation, path); }

}  // namespace redomark
