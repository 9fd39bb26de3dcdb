#include "core/fs/safety_policy.h"

namespace redomark {

SafetyPolicy macSafetyPolicy() {
  return {
      {"/System", "/usr", "/bin", "/sbin", "/private/var", "/private/etc", "/Library", "/dev", "/cores"},
      {"/", "/Users", "/Volumes", "/Applications", "/private", "/opt"},
  };
}

bool isVolumeStoreName(std::string_view name) {
  constexpr std::string_view shared = ".redomark-checkpoints";
  if (name == shared) return true;
  if (name.size() <= shared.size() + 1 || !name.starts_with(shared) || name[shared.size()] != '-') return false;
  return name.find_first_not_of("0123456789", shared.size() + 1) == std::string_view::npos;
}

}  // namespace redomark
