// Arbitrary bytes as the relative path of one item to put back: either it is
// refused with invalidRelativePath carrying it unchanged, or the result is a
// plain relative path that cannot climb out of the folder.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/operations/location_check.h"
#include "core/records/redomark_error.h"
#include "fuzz/fuzz_check.h"

namespace {

bool hasDotComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "." || part == ".." || part.empty()) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string normalised;
  try {
    normalised = redomark::validateRelativePath(input);
  } catch (const redomark::RedomarkError& error) {
    fuzzCheck(error.errorCase() == redomark::RedomarkError::Case::invalidRelativePath,
              "a relative path refused with the wrong error");
    fuzzCheck(error.text() == input, "a refused relative path is not carried unchanged");
    return 0;
  }
  fuzzCheck(!normalised.empty() && normalised.front() != '/', "an accepted relative path is empty or absolute");
  fuzzCheck(!hasDotComponent(normalised), "an accepted relative path keeps an empty, \".\" or \"..\" component");
  fuzzCheck(redomark::validateRelativePath(normalised) == normalised, "normalising a relative path twice changes it");
  return 0;
}
