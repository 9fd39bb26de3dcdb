#include "core/operations/location_check.h"

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

// "~" is the command-line tests' ("~/site", "~root/...").
TEST(CheckLocation, RefusesInItsFixedOrderWithTheRightPath) {
  ScratchDir scratch(Volume::noClone);
  const std::string base = canonicalPath(scratch.path());
  const SafetyPolicy linux = defaultSafetyPolicy(), everything{{base}, {}};
  const std::string store = scratch / "home/.local/share/Redomark/Checkpoints";
  createDirectories(scratch / "home/Documents");
  createDirectories(scratch / "Store2");
  writeFile(scratch / "file.txt", "");
  ASSERT_EQ(symlink((base + "/home").c_str(), (base + "/home-link").c_str()), 0);
  const std::string typedFile = scratch.path() + "/./file.txt", typedMissing = scratch.path() + "//gone/";
  struct Case {
    std::string folder, store;
    bool directory;
    const SafetyPolicy& policy;
    std::optional<RedomarkError> refusal;
    std::string canonical;
  };
  const Case cases[] = {
      // Every store lies below "/", which is tested before the forbidden lists.
      {"/", store, true, linux, RedomarkError::containsStore("/"), ""},
      {scratch / "home-link/", store, true, linux, RedomarkError::containsStore(base + "/home"), ""},
      // Links resolved, missing components kept as written.
      {scratch / "home-link/./Documents/x/../Missing/", store, false, linux, {}, base + "/home/Documents/Missing"},
      // Inside the store wins over the forbidden lists; the store need not exist.
      {store + "/key/x", store, false, everything,
       RedomarkError::insideStore(base + "/home/.local/share/Redomark/Checkpoints/key/x"), ""},
      // Prefix tests stop at a "/": a sibling with a longer name is unrelated.
      {scratch / "Store2", scratch / "Store", true, linux, {}, base + "/Store2"},
      // A file is refused with the path as typed.
      {typedFile, store, false, linux, RedomarkError::notADirectory(typedFile), ""},
      {typedMissing, store, true, linux, RedomarkError::notADirectory(typedMissing), ""},
      // Trees are refused with what is below them, exact places alone.
      {"/var/lib/redomark-x", "/no-store", false, linux, RedomarkError::forbiddenLocation("/var/lib/redomark-x"), ""},
      {"/home", "/no-store", false, linux, RedomarkError::forbiddenLocation("/home"), ""},
      {"/home/someone/work", "/no-store", false, linux, {}, "/home/someone/work"},
  };
  for (const Case& c : cases) {
    if (c.refusal)
      EXPECT_EQ(errorOf([&] { checkLocation(c.folder, c.store, c.directory, c.policy); }), *c.refusal) << c.folder;
    else
      EXPECT_EQ(checkLocation(c.folder, c.store, c.directory, c.policy), c.canonical);
  }
}

}  // namespace
}  // namespace redomark::testing
