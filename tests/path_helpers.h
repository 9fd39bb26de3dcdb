// File operations by path that only the tests use to set scenes up and look
// at what is left: the tool itself works through held directories.
#pragma once

#include <sys/types.h>

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
// Whole file, or nothing when it cannot be read; error gets the errno then.
std::optional<std::string> readWholeFile(const std::string& path);
std::optional<std::string> readWholeFile(const std::string& path, int& error);
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
// True when path itself (not followed) is a symbolic link.
bool isSymlink(const std::string& path);
// Creates path and its missing parents; new directories get exactly mode. Throws.
void createDirectories(const std::string& path, mode_t mode = 0777);
// Names in a directory, without "." and ".."; nothing when it cannot be listed.
std::optional<std::vector<std::string>> listNames(const std::string& path);
// rename(2). Throws.
void moveItem(const std::string& from, const std::string& to);
// Removes path and, for a directory, everything below it; never follows links. Throws.
void removeTree(const std::string& path);
// Creates or truncates path and writes bytes. Throws.
void writeWholeFile(const std::string& path, const std::string& bytes, mode_t mode = 0666);

}  // namespace redomark
