// The fixed usage text, without a line end after its last line.
#pragma once

namespace redomark {

extern const char* const usageText;

}  // namespace redomark
