// Standard base64 (RFC 4648, with padding), for the exact bytes of names that
// are not valid UTF-8 in the JSON records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace redomark {

std::string base64Encode(std::string_view bytes);
// Nothing when text isn't padded standard base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace redomark
