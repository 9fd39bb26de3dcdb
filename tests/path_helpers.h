// File operations by path that only the tests use to set scenes up and look
// at what is left: the tool itself works through held directories.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/walker.h"

namespace redomark {

// True when something exists at path; followLinks false examines a final link itself.
bool pathExists(const std::string& path, bool followLinks = true);
// True when path (links followed) is a directory.
bool isDirectory(const std::string& path);
// Whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);
// Unshared bytes of the file at path (a final link not followed); nothing when
// it cannot be opened or mapped.
std::optional<int64_t> privateSize(const std::string& path);
// Unshared bytes below the directory at path, reached without a link; 0 when
// it cannot be opened.
int64_t privateSpaceBelow(const std::string& path);
// Walks the directory at path, reached without a link; nothing to deliver
// when it is missing or not a directory, RedomarkError as the walk's own.
void walk(const std::string& path, const OperationControl* control, const WalkVisitor& visit,
          WalkPace pace = WalkPace::oneThread);
}  // namespace redomark
