#include "core/store/settings_file.h"

#include <cerrno>
#include <system_error>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "core/records/record_coding.h"
#include "core/store/fs_failure.h"

namespace redomark {

namespace {

constexpr const char* settingsName = "settings.json";
// Far more than any policy takes: a larger file is not read at all.
constexpr size_t settingsMaxBytes = 64 * 1024;

}  // namespace

std::string settingsPath(const std::string& defaultStoreRoot) {
  return joinPath(parentPath(defaultStoreRoot), settingsName);
}

LoadedSettings loadSettings(const std::string& defaultStoreRoot) {
  LoadedSettings loaded;
  loaded.path = settingsPath(defaultStoreRoot);
  const FsResult<DirectoryHandle> directory = DirectoryHandle::open(parentPath(loaded.path));
  const FsResult<std::string> bytes =
      directory ? directory->readOwnFile(settingsName, settingsMaxBytes) : FsResult<std::string>(directory.error());
  if (!bytes) {
    const int error = bytes.code();
    if (error == ENOENT || error == ENOTDIR) return loaded;
    loaded.state = LoadedSettings::State::unusable;
    if (error == EPERM || error == ELOOP)
      loaded.problem = "it isn't a regular file of yours";
    else if (error == EFBIG)
      loaded.problem = "it is larger than 64 KB";
    else
      loaded.problem = "it can't be read: " + std::generic_category().message(error);
    return loaded;
  }
  try {
    loaded.policy = decodeSettings(*bytes);
    loaded.state = LoadedSettings::State::used;
  } catch (const JsonError& e) {
    loaded.state = LoadedSettings::State::unusable;
    loaded.problem = e.what();
  }
  return loaded;
}

void saveSettings(const RetentionPolicy& policy, const std::string& defaultStoreRoot) try {
  const DirectoryHandle directory = DirectoryHandle::create(parentPath(defaultStoreRoot), 0700);
  // Only its owner may learn or change what is kept.
  directory.replaceFile(settingsName, encodeSettings(policy), 0600);
} catch (const FsError& failure) {
  throw fsFailure(failure);
}

}  // namespace redomark
