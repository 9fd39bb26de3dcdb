// The text of paths, as plain strings: splitting off and joining components.
// Nothing here touches the file system.
#pragma once

#include <string>
#include <string_view>

namespace redomark {

// Path without its last component ("/" for "/x", "/" for "/").
std::string parentPath(const std::string& path);
// A relative path's parent: "" for a single component.
std::string relativeParent(const std::string& relativePath);
// Last component of path.
std::string lastComponent(const std::string& path);
// a + "/" + b, without doubling a trailing "/" of a.
std::string joinPath(const std::string& a, const std::string& b);
// True when one of path's components is "..".
bool hasParentComponent(std::string_view path);

}  // namespace redomark
