// Which automatic checkpoints the timeline keeps, judged as a pure rule in a
// zone one hour east of UTC, so that local days, ISO weeks and months differ
// from UTC ones.
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

// "2026-03-02 10:15" in the zone, as seconds since the epoch.
double at(const char* local) {
  std::tm t{};
  strptime(local, "%Y-%m-%d %H:%M", &t);
  return static_cast<double>(timegm(&t)) - zoneOffsetSeconds;
}

struct Case {
  const char* what;
  RetentionPolicy policy;
  std::vector<const char*> automatic;  // oldest first
  std::set<std::string> kept;
};

RetentionPolicy counts(int64_t hourly, int64_t daily, int64_t weekly, int64_t monthly) {
  RetentionPolicy policy;
  policy.keepHourly = hourly, policy.keepDaily = daily, policy.keepWeekly = weekly, policy.keepMonthly = monthly;
  return policy;
}

TEST(Timeline, KeepsTheNewestOfEachOfTheMostRecentLocalHoursDaysWeeksAndMonths) {
  const Case cases[] = {
      {"hours", counts(2, 0, 0, 0), {"2026-03-02 10:05", "2026-03-02 10:50", "2026-03-02 11:10", "2026-03-02 12:20",
                                     "2026-03-02 12:40"}, {"2026-03-02 11:10", "2026-03-02 12:40"}},
      // Only hours that have one count: a gap of days is no reason to keep fewer.
      {"hours with gaps", counts(3, 0, 0, 0), {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"},
       {"2026-02-01 09:00", "2026-03-01 09:00", "2026-03-02 12:40"}},
      // 00:30 in the zone is still the previous day in UTC.
      {"local days", counts(0, 1, 0, 0), {"2026-03-01 23:30", "2026-03-02 00:30", "2026-03-02 09:00"},
       {"2026-03-02 09:00"}},
      {"two local days", counts(0, 2, 0, 0), {"2026-03-01 23:30", "2026-03-02 00:30", "2026-03-02 09:00"},
       {"2026-03-01 23:30", "2026-03-02 09:00"}},
      // Weeks run Monday to Sunday: 2026-03-01 is a Sunday.
      {"weeks", counts(0, 0, 2, 0), {"2026-03-01 12:00", "2026-03-02 12:00", "2026-03-08 12:00"},
       {"2026-03-01 12:00", "2026-03-08 12:00"}},
      // ISO week 1 of 2026 began on Monday 2025-12-29.
      {"a week across the new year", counts(0, 0, 2, 0), {"2025-12-28 12:00", "2025-12-30 12:00", "2026-01-02 12:00"},
       {"2025-12-28 12:00", "2026-01-02 12:00"}},
      {"months", counts(0, 0, 0, 2), {"2026-01-01 00:10", "2026-01-31 23:50", "2026-02-01 00:10", "2026-02-28 20:00"},
       {"2026-01-31 23:50", "2026-02-28 20:00"}},
      {"any count keeps it", counts(1, 1, 1, 3), {"2025-12-31 08:00", "2026-01-05 08:00", "2026-01-05 09:00"},
       {"2025-12-31 08:00", "2026-01-05 09:00"}},
      {"none kept", counts(0, 0, 0, 0), {"2026-03-02 10:05", "2026-03-02 12:40"}, {}},
  };
  for (const Case& c : cases) {
    std::vector<Checkpoint> list;
    // Checkpoints of the other kinds sit between them and are never chosen.
    for (const char* moment : c.automatic) {
      for (const auto& [suffix, kind] : {std::pair{" manual", Checkpoint::Kind::manual},
                                         std::pair{"", Checkpoint::Kind::automatic},
                                         std::pair{" restore", Checkpoint::Kind::beforeRestore}}) {
        Checkpoint checkpoint;
        checkpoint.id = moment + std::string(suffix), checkpoint.kind = kind, checkpoint.createdAt = at(moment);
        list.push_back(checkpoint);
      }
    }
    EXPECT_EQ(keptOnTimeline(list, c.policy, oneHourEast), c.kept) << c.what;
  }
}

}  // namespace
}  // namespace redomark
