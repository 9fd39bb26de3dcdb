#include "core/store/timeline.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>

namespace redomark {
namespace {

// Days from 1970-01-01 to the local date.
int64_t localDay(const std::tm& t) {
  using namespace std::chrono;
  const year_month_day date{year{t.tm_year + 1900}, month{static_cast<unsigned>(t.tm_mon + 1)},
                            day{static_cast<unsigned>(t.tm_mday)}};
  return sys_days{date}.time_since_epoch().count();
}

int64_t floorDivide(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t hourKey(const std::tm& t) { return localDay(t) * 24 + t.tm_hour; }
int64_t dayKey(const std::tm& t) { return localDay(t); }
// 1970-01-01 was a Thursday: shifted by three days, every ISO week (Monday to
// Sunday) is one step of seven.
int64_t weekKey(const std::tm& t) { return floorDivide(localDay(t) + 3, 7); }
int64_t monthKey(const std::tm& t) { return (int64_t{t.tm_year} + 1900) * 12 + t.tm_mon; }

struct Scale {
  int64_t limit;
  int64_t (*key)(const std::tm&);
  std::set<int64_t> groups = {};
};

}  // namespace

std::tm systemLocalTime(double seconds) {
  const auto instant = static_cast<std::time_t>(std::floor(seconds));
  std::tm local{};
  localtime_r(&instant, &local);
  return local;
}

std::set<std::string> keptOnTimeline(const std::vector<Checkpoint>& list, const RetentionPolicy& policy,
                                     const LocalCalendar& calendar) {
  Scale scales[] = {{policy.keepHourly, hourKey},
                    {policy.keepDaily, dayKey},
                    {policy.keepWeekly, weekKey},
                    {policy.keepMonthly, monthKey}};
  std::set<std::string> kept;
  // Newest first, so the first of a group met is the newest of it.
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->kind != Checkpoint::Kind::automatic) continue;
    const std::tm local = calendar(it->createdAt);
    for (Scale& scale : scales) {
      const int64_t group = scale.key(local);
      if (scale.groups.contains(group) || static_cast<int64_t>(scale.groups.size()) >= scale.limit) continue;
      scale.groups.insert(group);
      kept.insert(it->id);
    }
  }
  return kept;
}

}  // namespace redomark
