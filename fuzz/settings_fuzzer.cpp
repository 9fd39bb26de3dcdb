// Arbitrary bytes as "settings.json": the reader refuses them with JsonError or
// returns limits that are usable and survive being written and read again.
#include <cstdint>
#include <string_view>

#include "core/records/record_coding.h"
#include "core/records/retention_policy.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  redomark::RetentionPolicy policy;
  try {
    policy = redomark::decodeSettings(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const redomark::JsonError&) {
    return 0;
  }
  fuzzCheck(policy.keepPerFolder >= 0, "settings read with a negative keepPerFolder");
  fuzzCheck(redomark::decodeSettings(redomark::encodeSettings(policy)) == policy,
            "settings change when written and read again");
  return 0;
}
