// The loop-mounted volumes the test command brings up, and scratch folders on
// them. A test that needs a volume the harness did not provide fails.
#pragma once

#include <string>

namespace redomark::testing {

// small: a 256 MiB Btrfs volume that only the disk-full test uses, as it fills it.
enum class Volume { btrfs, btrfs2, xfs, small, noClone };

// Mount point (or, for noClone, a folder on the ext4 root file system).
// Throws, failing the calling test, when the volume is missing or of the
// wrong type.
std::string volumeRoot(Volume volume);

// A fresh, uniquely named folder on a volume, removed with its contents when
// the value goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(Volume volume);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

}  // namespace redomark::testing
