// Arbitrary bytes as "meta.json": the reader refuses them with JsonError or
// returns a record that the writer puts back into text that reads the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/records/record_coding.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  redomark::Checkpoint record;
  try {
    record = redomark::decodeStoreRecord(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const redomark::JsonError&) {
    return 0;
  }
  fuzzCheck(redomark::decodeStoreRecord(redomark::encodeStoreRecord(record)) == record,
            "a record read from \"meta.json\" changes when written and read again");
  return 0;
}
