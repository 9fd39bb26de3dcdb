// Instants written for people: the user's locale and time zone, in the
// abbreviated date style with the time of day to the minute or to the second.
#pragma once

#include <string>

namespace redomark {

enum class TimeDetail { minutes, seconds };

// seconds since the Unix epoch, e.g. "Dec 4, 2024, 3:07 PM" in en_US.
std::string localDateTime(double seconds, TimeDetail detail);

}  // namespace redomark
