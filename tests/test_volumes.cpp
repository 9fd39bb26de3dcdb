#include "tests/test_volumes.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"

#ifndef XFS_SUPER_MAGIC
#define XFS_SUPER_MAGIC 0x58465342
#endif

namespace redomark::testing {
namespace {

struct Expected {
  const char* variable;
  long magic;
  bool mountPoint;
};

Expected expectedFor(Volume volume) {
  switch (volume) {
    case Volume::btrfs: return {"REDOMARK_TEST_BTRFS", BTRFS_SUPER_MAGIC, true};
    case Volume::btrfs2: return {"REDOMARK_TEST_BTRFS2", BTRFS_SUPER_MAGIC, true};
    case Volume::xfs: return {"REDOMARK_TEST_XFS", XFS_SUPER_MAGIC, true};
    case Volume::small: return {"REDOMARK_TEST_SMALL", BTRFS_SUPER_MAGIC, true};
    case Volume::noClone: return {"REDOMARK_TEST_NOCLONE", EXT4_SUPER_MAGIC, false};
  }
  throw std::logic_error("unknown volume");
}

// Without the variable, what `scripts/volumes up build/volumes` wrote, so that
// the test binary can be run by itself while those volumes are up.
std::string fromVolumesFile(const char* variable) {
  std::ifstream file(REDOMARK_VOLUMES_ENV);
  const std::string prefix = std::string("export ") + variable + "=";
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return "";
}

}  // namespace

std::string volumeRoot(Volume volume) {
  const Expected expected = expectedFor(volume);
  const char* set = std::getenv(expected.variable);
  const std::string value = set != nullptr && *set != '\0' ? set : fromVolumesFile(expected.variable);
  if (value.empty()) {
    throw std::runtime_error(std::string(expected.variable) + " is not set and " + REDOMARK_VOLUMES_ENV +
                             " is missing: run the tests through scripts/test, or bring the volumes up"
                             " with scripts/volumes up build/volumes first");
  }
  struct statfs facts {};
  if (statfs(value.c_str(), &facts) != 0 || static_cast<long>(facts.f_type) != expected.magic) {
    throw std::runtime_error(std::string(expected.variable) + "=" + value +
                             " is not a volume of the expected type");
  }
  if (expected.mountPoint) {
    struct stat self {}, parent {};
    const std::string up = value + "/..";
    if (stat(value.c_str(), &self) != 0 || stat(up.c_str(), &parent) != 0 || self.st_dev == parent.st_dev) {
      throw std::runtime_error(std::string(expected.variable) + "=" + value + " is not a mount point");
    }
  }
  return value;
}

ScratchDir::ScratchDir(Volume volume) {
  std::string pattern = volumeRoot(volume) + "/scratch-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder in " + volumeRoot(volume));
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  // A test may leave read-only or half-removed trees; never throw from here.
  try {
    if (pathExists(path_, false)) removeTree(path_);
  } catch (const std::exception&) {
  }
}

}  // namespace redomark::testing
