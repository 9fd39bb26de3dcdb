// Arbitrary bytes as a folder path or a name inside one (a path typed on Linux
// need not be UTF-8): the folder key stays one safe directory name, the text
// rules that sort and repair names stay consistent, and base64 keeps the bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/records/base64.h"
#include "core/records/unicode_text.h"
#include "core/store/checkpoint_store.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string key = redomark::folderKey(input);
  const size_t dash = key.rfind('-');
  fuzzCheck(dash != std::string::npos && dash + 1 < key.size() && dash + 17 >= key.size(),
            "a folder key does not end in \"-\" and its hash");
  fuzzCheck(key.find_first_of(std::string_view("/\0", 2)) == std::string::npos && key != "." && key != "..",
            "a folder key is not a single directory name");
  fuzzCheck(redomark::folderKey(input) == key, "a folder key changes between calls");

  const std::string nfc = redomark::toNFC(input);
  fuzzCheck(redomark::toNFC(nfc) == nfc, "composing composed text changes it");
  fuzzCheck(!redomark::nfcLess(input, nfc) && !redomark::nfcLess(nfc, input),
            "text sorts apart from its composed form");
  const std::string repaired = redomark::repairUtf8(input);
  fuzzCheck(redomark::repairUtf8(repaired) == repaired, "repairing repaired text changes it");
  fuzzCheck(redomark::isValidUtf8(repaired) && redomark::isValidUtf8(input) == (repaired == input),
            "repaired text is not valid UTF-8, or valid text was changed");
  // A name's exact bytes survive the manifest's base64 member.
  fuzzCheck(redomark::base64Decode(redomark::base64Encode(input)) == input, "base64 loses bytes");
  return 0;
}
