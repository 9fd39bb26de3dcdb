// Arbitrary bytes as "manifest.json": the reader refuses them with JsonError or
// returns entries that the writer puts back into text that reads the same.
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/records/record_coding.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<redomark::ManifestEntry> entries;
  try {
    entries = redomark::decodeManifest(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const redomark::JsonError&) {
    return 0;
  }
  fuzzCheck(redomark::decodeManifest(redomark::encodeManifest(entries)) == entries,
            "a manifest changes when written and read again");
  return 0;
}
