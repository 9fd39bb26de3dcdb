#include "core/records/unicode_text.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace redomark {
namespace {

const std::string precomposed = "caf\xC3\xA9";  // café with U+00E9
const std::string decomposed = "cafe\xCC\x81";  // café with e + U+0301

// Composing and comparing composed forms are checked through the diff of
// decomposed names, the catalog and the manifest index; NFKC in place of NFC
// fails the order below (U+FF21 would become "A").
TEST(UnicodeText, OrdersByScalarValuesOfComposedForms) {
  // Byte for byte, "cafe" + U+0301 sorts before "caff"; composed, U+00E9 sorts after it.
  EXPECT_TRUE(nfcLess("caff", decomposed));
  EXPECT_FALSE(nfcLess(decomposed, precomposed));
  EXPECT_FALSE(nfcLess(precomposed, decomposed));
  // U+FF21 (three bytes) sorts after U+00E9 (two bytes), as scalar values do.
  EXPECT_TRUE(nfcLess(precomposed, "caf\xEF\xBC\xA1"));

  std::vector<std::string> names = {"zeta", decomposed, "caff", "Zeta", "caf"};
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return nfcLess(a, b); });
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "caf", "caff", decomposed, "zeta"}));
}

TEST(UnicodeText, RepairReplacesEachIllFormedSequence) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(repairUtf8(precomposed + " \xE2\x82\xAC \xF0\x9F\x93\x81"), precomposed + " \xE2\x82\xAC \xF0\x9F\x93\x81");
  EXPECT_EQ(repairUtf8("a\xFF" "b"), "a" + fffd + "b");
  EXPECT_EQ(repairUtf8("end\xE2\x82"), "end" + fffd + fffd);                // truncated three-byte sequence, byte by byte
  EXPECT_EQ(repairUtf8("\xC0\xAF"), fffd + fffd);                          // overlong "/"
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), fffd + fffd + fffd);               // encoded surrogate
  EXPECT_EQ(repairUtf8("\x80\x80x"), fffd + fffd + "x");                   // stray continuation bytes
  EXPECT_EQ(repairUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace redomark
