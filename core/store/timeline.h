// Which automatic checkpoints of a folder a timeline keeps: the newest of
// each of the most recent local hours, days, ISO weeks and months that have
// one, as many of each as the policy says. A pure rule of the list, the
// policy and the calendar that turns an instant into local time, so that it
// can be judged without a volume or the machine's time zone.
#pragma once

#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/records/checkpoint.h"
#include "core/records/retention_policy.h"

namespace redomark {

// seconds since the epoch as the broken-down local time of some zone.
using LocalCalendar = std::function<std::tm(double seconds)>;

// The process's own time zone (TZ, else the system's).
std::tm systemLocalTime(double seconds);

// The ids of the automatic checkpoints of list (one folder's, oldest first)
// that the timeline keeps; checkpoints of other kinds are not looked at.
std::set<std::string> keptOnTimeline(const std::vector<Checkpoint>& list, const RetentionPolicy& policy,
                                     const LocalCalendar& calendar = systemLocalTime);

}  // namespace redomark
