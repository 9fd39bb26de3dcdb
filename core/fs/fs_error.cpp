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
    case FsOperation::copy: return "Couldn't copy " + path + cause;
  }
  return path + cause;
}

}  // namespace

FsError::FsError(int code, FsOperation operation, std::string path, std::string detail)
    : code_(code), operation_(operation), path_(std::move(path)) {
  message_ = messageOf(code_, operation_, path_, detail);
}

FsError::FsError(Kind kind, int code, std::string path, std::string message)
    : kind_(kind), code_(code), path_(std::move(path)), message_(std::move(message)) {}

FsError FsError::changed(std::string path) {
  std::string message = path + " changed while it was being worked on";
  return FsError(Kind::changed, 0, std::move(path), std::move(message));
}

FsError FsError::cancelled() { return FsError(Kind::cancelled, 0, {}, "Cancelled."); }

FsError FsError::otherVolume(std::string path) {
  std::string message = path + " is another volume's mount point";
  return FsError(Kind::otherVolume, 0, std::move(path), std::move(message));
}

FsError FsError::notEnoughSpace(int64_t neededBytes, int64_t availableBytes) {
  FsError error(Kind::notEnoughSpace, 0, {},
                "Not enough free space: " + std::to_string(neededBytes) + " bytes needed, " +
                    std::to_string(availableBytes) + " available");
  error.neededBytes_ = neededBytes;
  error.availableBytes_ = availableBytes;
  return error;
}

FsError FsError::notAllowedToWrite(std::string path, int code) {
  std::string message = "Couldn't write in " + path + ": " + std::strerror(code);
  return FsError(Kind::notAllowedToWrite, code, std::move(path), std::move(message));
}

void throwErrno(FsOperation operation, const std::string& path) { throw FsError(errno, operation, path); }

}  // namespace redomark
