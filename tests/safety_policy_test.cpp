#include "core/fs/safety_policy.h"

#include <cstdlib>
#include <memory>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/fs/typed_path.h"
#include "core/records/redomark_error.h"
#include "tests/error_of.h"
#include "tests/engine_test_support.h"
#include "tests/test_volumes.h"

namespace redomark::testing {

namespace {

template <typename Call>
void expectError(Call call, const RedomarkError& expected) {
  const RedomarkError e = errorOf(call);
  EXPECT_EQ(e, expected) << "got: " << e.what() << "\nexpected: " << expected.what();
}

// The folder's real path, links resolved, found without the code under test.
std::string realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> out(realpath(path.c_str(), nullptr), &std::free);
  return out ? out.get() : "";
}

}  // namespace

TEST(CanonicalPath, ResolvesLinksAndKeepsMissingComponentsAsWritten) {
  ScratchDir scratch(Volume::noClone);
  const std::string base = realPath(scratch.path());
  createDirectories(scratch / "real/dir");
  writeFile(scratch / "file.txt", "");
  ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/link").c_str()), 0);

  EXPECT_EQ(canonicalPath(scratch.path() + "//link/./dir/"), base + "/real/dir");
  EXPECT_EQ(canonicalPath(scratch / "link/dir/x/../Missing One/two/"), base + "/real/dir/Missing One/two");
  EXPECT_EQ(canonicalPath(scratch / "link/dir/./new/./deeper"), base + "/real/dir/new/deeper");
  EXPECT_EQ(canonicalPath(scratch / "file.txt/below"), base + "/file.txt/below");
  EXPECT_EQ(canonicalPath("/.."), "/");
  EXPECT_EQ(canonicalPath("//redomark-no-such-top/a/"), "/redomark-no-such-top/a");

  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", (base + "/link").c_str(), 1);
  EXPECT_EQ(canonicalPath("~/dir/"), base + "/real/dir");
  EXPECT_EQ(canonicalPath("~"), base + "/real");
  setenv("HOME", savedHome.c_str(), 1);
}

TEST(CheckLocation, RefusesInItsFixedOrderWithTheRightPath) {
  ScratchDir scratch(Volume::noClone);
  const std::string base = realPath(scratch.path());
  const SafetyPolicy linux = defaultSafetyPolicy();
  const std::string store = scratch / "home/.local/share/Redomark/Checkpoints";
  createDirectories(scratch / "home/Documents");
  ASSERT_EQ(symlink((base + "/home").c_str(), (base + "/home-link").c_str()), 0);

  // Every store lies below "/", which is tested before the exact list.
  expectError([&] { return checkLocation("/", store, true, linux); }, RedomarkError::containsStore("/"));
  expectError([&] { return checkLocation(scratch / "home-link/", store, true, linux); },
              RedomarkError::containsStore(base + "/home"));
  EXPECT_EQ(checkLocation(scratch / "home-link/Documents", store, true, linux), base + "/home/Documents");

  // Inside the store wins over the forbidden lists; the store need not exist.
  const SafetyPolicy everything{{base}, {}};
  expectError([&] { return checkLocation(store + "/key/x", store, false, everything); },
              RedomarkError::insideStore(base + "/home/.local/share/Redomark/Checkpoints/key/x"));

  // Prefix tests stop at a "/": a sibling with a longer name is unrelated.
  createDirectories(scratch / "Store");
  createDirectories(scratch / "Store2");
  EXPECT_EQ(checkLocation(scratch / "Store", scratch / "Store2", true, linux), base + "/Store");
  EXPECT_EQ(checkLocation(scratch / "Store2", scratch / "Store", true, linux), base + "/Store2");

  // A file is refused with the path as typed, not the canonical one.
  writeFile(scratch / "file.txt", "");
  const std::string typedFile = scratch.path() + "/./file.txt", typedMissing = scratch.path() + "//gone/";
  expectError([&] { return checkLocation(typedFile, store, false, linux); }, RedomarkError::notADirectory(typedFile));
  expectError([&] { return checkLocation(typedMissing, store, true, linux); },
              RedomarkError::notADirectory(typedMissing));
  EXPECT_EQ(checkLocation(typedMissing, store, false, linux), base + "/gone");

}

TEST(CheckLocation, BuiltInListsGuardTheSystemFolders) {
  // A store outside every folder tried, wherever the checkout lives; it need not exist.
  const std::string store = "/redomark-no-such-store/Checkpoints";
  auto refused = [&](const std::string& path, const SafetyPolicy& policy) {
    expectError([&] { return checkLocation(path, store, false, policy); },
                RedomarkError::forbiddenLocation(canonicalPath(path)));
  };
  const SafetyPolicy linux = defaultSafetyPolicy();
  // /proc/self is a link, judged by where it leads.
  for (const std::string path : {"/etc", "/usr/share", "/var", "/var/lib/redomark-x", "/tmp", "/home", "/sys/kernel",
                                 "/proc/self"})
    refused(path, linux);
  for (const char* path : {"/usrx", "/var/redomark-x", "/home/someone/work", "/tmp/redomark-x", "/opt/tool"})
    EXPECT_EQ(checkLocation(path, store, false, linux), path);
}

TEST(ValidateRelativePath, NormalisesGoodPathsAndRefusesEscapes) {
  // The tool's restore --file pins down the rest.
  EXPECT_EQ(validateRelativePath(".hidden/...x/"), ".hidden/...x");
  for (const std::string bad : {"", "a/."})
    expectError([&] { return validateRelativePath(bad); }, RedomarkError::invalidRelativePath(bad));
}

}  // namespace redomark::testing
