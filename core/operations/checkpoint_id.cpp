#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

#include "core/operations/redomark.h"

namespace redomark {

std::string Redomark::newCheckpointID() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  // random_device draws from the kernel's (or the CPU's) secure source.
  std::random_device secure;
  const unsigned suffix = secure() & 0xffffu;
  char id[48];
  std::snprintf(id, sizeof id, "%s-%04x", stamp, suffix);
  return id;
}

}  // namespace redomark
