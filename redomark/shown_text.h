// Names, paths and ids as a text report shows them: nothing in a file name can
// move the cursor, retitle the terminal or fake a line of output.
#pragma once

#include <string>
#include <string_view>

namespace redomark {

// text with each control character (U+0000-U+001F, U+007F, U+0080-U+009F) and
// each byte that isn't part of valid UTF-8 written as "\x" + two lower-case
// hexadecimal digits per byte; everything else as it is.
std::string shown(std::string_view text);

}  // namespace redomark
