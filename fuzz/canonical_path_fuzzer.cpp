// Arbitrary text as a typed folder path (no NUL: a command line cannot hold one).
// Whatever exists on this machine, the canonical form of an absolute path is
// absolute and plain, and making it canonical again changes nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/fs/typed_path.h"
#include "fuzz/fuzz_check.h"

namespace {

bool isPlainAbsolute(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  if (path == "/") return true;
  if (path.back() == '/' || path.find("//") != std::string::npos) return false;
  return path.find("/./") == std::string::npos && path.find("/../") == std::string::npos &&
         !path.ends_with("/.") && !path.ends_with("/..");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (std::memchr(data, 0, size)) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string canonical = redomark::canonicalPath(input);
  if (input.starts_with('/')) fuzzCheck(isPlainAbsolute(canonical), "an absolute path's canonical form is not plain");
  fuzzCheck(redomark::canonicalPath(canonical) == canonical, "making a canonical path canonical again changes it");
  return 0;
}
