// File operations by path that only the tests use to set scenes up and look
// at what is left: the tool itself works through held directories.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace redomark {

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
