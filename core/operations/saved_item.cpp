#include "core/operations/location_check.h"
#include "core/fs/typed_path.h"
#include "core/operations/redomark.h"

namespace redomark {

std::string Redomark::savedItemPath(const Checkpoint& checkpoint, const std::string& relativePath) const {
  const std::string relative = validateRelativePath(relativePath);
  return storeFor(checkpoint.sourcePath).dataDirectory(checkpoint) + "/" + relative;
}

}  // namespace redomark
