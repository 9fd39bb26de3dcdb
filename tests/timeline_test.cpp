// Which automatic checkpoints the timeline keeps, as a pure rule, in a zone one
// hour east of UTC so that local days, ISO weeks and months differ from UTC's.
#include <gtest/gtest.h>

#include <ctime>

#include "core/store/timeline.h"

namespace redomark {
namespace {

constexpr double zoneOffsetSeconds = 3600;

std::tm oneHourEast(double seconds) {
  const auto local = static_cast<std::time_t>(seconds + zoneOffsetSeconds);
  std::tm out{};
  gmtime_r(&local, &out);
  return out;
}

// "2026-03-02 10:15" in that zone, as seconds since the epoch.
double at(const std::string& local) {
  std::tm t{};
  strptime(local.c_str(), "%Y-%m-%d %H:%M", &t);
  return static_cast<double>(timegm(&t)) - zoneOffsetSeconds;
}

TEST(Timeline, KeepsTheNewestOfEachOfTheMostRecentLocalHoursDaysWeeksAndMonths) {
  struct Case {
    int64_t hours, days, weeks, months;
    std::vector<std::string> automatic;  // oldest first
    std::set<std::string> kept;
  };
  const Case cases[] = {
      {2, 0, 0, 0, {"2026-03-02 10:05", "2026-03-02 10:50", "2026-03-02 11:10", "2026-03-02 12:20", "2026-03-02 12:40"},
       {"2026-03-02 11:10", "2026-03-02 12:40"}},
      // Only hours that have one count.
      {3, 0, 0, 0, {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"},
       {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"}},
      // 00:30 in the zone is still the day before in UTC.
      {0, 1, 0, 0, {"2026-03-01 23:30", "2026-03-02 00:30", "2026-03-02 09:00"}, {"2026-03-02 09:00"}},
      {0, 2, 0, 0, {"2026-03-01 23:30", "2026-03-02 00:30", "2026-03-02 09:00"}, {"2026-03-01 23:30", "2026-03-02 09:00"}},
      // Monday to Sunday: 2026-03-01 is a Sunday; ISO week 1 of 2026 began on 2025-12-29.
      {0, 0, 2, 0, {"2026-03-01 12:00", "2026-03-02 12:00", "2026-03-08 12:00"}, {"2026-03-01 12:00", "2026-03-08 12:00"}},
      {0, 0, 2, 0, {"2025-12-28 12:00", "2025-12-30 12:00", "2026-01-02 12:00"}, {"2025-12-28 12:00", "2026-01-02 12:00"}},
      {0, 0, 0, 2, {"2026-01-01 00:10", "2026-01-31 23:50", "2026-02-01 00:10", "2026-02-28 20:00"},
       {"2026-01-31 23:50", "2026-02-28 20:00"}},
      // Kept by any of the four.
      {1, 1, 1, 3, {"2025-12-31 08:00", "2026-01-05 08:00", "2026-01-05 09:00"}, {"2025-12-31 08:00", "2026-01-05 09:00"}},
      {0, 0, 0, 0, {"2026-03-02 10:05", "2026-03-02 12:40"}, {}},
  };
  for (const Case& c : cases) {
    RetentionPolicy policy;
    policy.keepHourly = c.hours, policy.keepDaily = c.days, policy.keepWeekly = c.weeks, policy.keepMonthly = c.months;
    // Checkpoints of the other kinds at the same moments are never chosen.
    std::vector<Checkpoint> list;
    for (const std::string& moment : c.automatic)
      for (const auto kind : {Checkpoint::Kind::manual, Checkpoint::Kind::automatic, Checkpoint::Kind::beforeRestore})
        list.push_back(Checkpoint{kind == Checkpoint::Kind::automatic ? moment : moment + " " + std::to_string(int(kind)),
                                  std::nullopt, kind, "/f", at(moment), 0, 0, 0, {}});
    EXPECT_EQ(keptOnTimeline(list, policy, oneHourEast), c.kept) << c.automatic.front() << " " << c.hours << c.days;
  }
}

}  // namespace
}  // namespace redomark
