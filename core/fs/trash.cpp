#include "core/fs/trash.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "core/fs/exchange.h"
#include "core/fs/file_ops.h"
#include "core/fs/mount_table.h"

namespace redomark {

namespace {

constexpr size_t maxNameBytes = NAME_MAX;
constexpr const char* infoSuffix = ".trashinfo";
constexpr size_t infoSuffixBytes = 10;

[[noreturn]] void fail(int code, const std::string& path) {
  throw std::system_error(code, std::generic_category(), "Couldn't move " + path + " to the Trash");
}

std::string homeTrashPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  // Relative values are invalid by the base directory rules and are ignored.
  if (dataHome && dataHome[0] == '/') return joinPath(dataHome, "Trash");
  return joinPath(homeDirectory(), ".local/share/Trash");
}

// Device of path, or of its nearest existing ancestor when it is not there yet.
dev_t deviceOfNearest(std::string path) {
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    const std::string up = parentPath(path);
    if (up == path) return 0;
    path = up;
  }
  return st.st_dev;
}

// A directory of ours, made 0700 when missing. A link or someone else's
// directory is never used: on a shared volume it could redirect our files.
bool ensureOwnDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0) {
    chmod(path.c_str(), 0700);  // exact, whatever the umask
    return true;
  }
  struct stat st;
  return errno == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// The trash at the top of a volume other than the home's: the administrator's
// shared sticky ".Trash" with a directory per user, else ".Trash-<uid>".
std::string volumeTrashPath(const std::string& topDir, const std::string& item) {
  const std::string uid = std::to_string(getuid());
  const std::string shared = joinPath(topDir, ".Trash");
  struct stat st;
  if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    const std::string mine = joinPath(shared, uid);
    if (ensureOwnDirectory(mine)) return mine;
  }
  const std::string own = joinPath(topDir, ".Trash-" + uid);
  if (!ensureOwnDirectory(own)) fail(errno == EEXIST ? EACCES : errno, item);
  return own;
}

// The item's absolute path with its parent's links resolved, which is what
// the trash records and what the mount table is searched with.
std::string resolvedItemPath(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) fail(errno, path);
    absolute = joinPath(cwd, absolute);
    std::free(cwd);
  }
  char* parent = realpath(parentPath(absolute).c_str(), nullptr);
  if (!parent) fail(errno, path);
  const std::string out = joinPath(parent, lastComponent(absolute));
  std::free(parent);
  return out;
}

std::string percentEncoded(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

std::string localTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// Cuts text to at most bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// The attempt-th name for the item: the name itself, then "stem.2.ext",
// "stem.3.ext"... shortened so that the info file's name still fits.
std::string candidateName(const std::string& name, int attempt) {
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  const std::string tag = attempt == 1 ? "" : "." + std::to_string(attempt);
  const size_t room = maxNameBytes - infoSuffixBytes;
  if (stem.size() + tag.size() + extension.size() <= room) return stem + tag + extension;
  if (tag.size() + extension.size() + 1 > room) return cutUtf8(name, room - tag.size()) + tag;
  return cutUtf8(stem, room - tag.size() - extension.size()) + tag + extension;
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Creates info/<name>.trashinfo exclusively, which is what claims the name.
// Returns false when the name is already taken; throws on any other failure.
bool claimName(const std::string& infoPath, const std::string& contents, const std::string& item) {
  const int fd = open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    fail(errno, item);
  }
  const bool written = writeAll(fd, contents);
  const int writeError = errno;
  if (close(fd) != 0 || !written) {
    const int code = written ? errno : writeError;
    unlink(infoPath.c_str());
    fail(code, item);
  }
  return true;
}

}  // namespace

std::string moveToTrash(const std::string& path) {
  struct stat item;
  if (lstat(path.c_str(), &item) != 0) fail(errno, path);
  const std::string resolved = resolvedItemPath(path);

  std::string trash = homeTrashPath();
  if (item.st_dev == deviceOfNearest(trash)) {
    try {
      createDirectories(trash, 0700);
    } catch (const std::system_error& e) {
      fail(e.code().value(), path);
    }
  } else {
    const std::optional<MountEntry> mount = mountHolding(parentPath(resolved));
    if (!mount) fail(ENOENT, path);
    trash = volumeTrashPath(mount->mountPoint, path);
  }
  const std::string infoDir = joinPath(trash, "info");
  const std::string filesDir = joinPath(trash, "files");
  if (!ensureOwnDirectory(infoDir) || !ensureOwnDirectory(filesDir)) fail(errno == EEXIST ? EACCES : errno, path);

  const std::string contents =
      "[Trash Info]\nPath=" + percentEncoded(resolved) + "\nDeletionDate=" + localTimeNow() + "\n";
  const std::string name = lastComponent(resolved);
  for (int attempt = 1;; ++attempt) {
    const std::string candidate = candidateName(name, attempt);
    const std::string infoPath = joinPath(infoDir, candidate + infoSuffix);
    if (!claimName(infoPath, contents, path)) continue;
    const std::string target = joinPath(filesDir, candidate);
    const int err = moveWithoutReplacing(path, target);
    if (err == 0) return target;
    // An entry in files/ without its info file still takes the name; any
    // other failure leaves the item where it was, with no info file behind.
    unlink(infoPath.c_str());
    if (err != EEXIST) fail(err, path);
  }
}

}  // namespace redomark
