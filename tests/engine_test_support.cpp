#include "tests/engine_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <tuple>

#include "core/fs/directory_handle.h"
#include "core/fs/fs_error.h"
#include "core/fs/path_text.h"
#include "core/fs/private_space.h"
#include "core/fs/tree_removal.h"
#include "core/records/record_coding.h"
#include "core/store/fs_failure.h"

extern char** environ;

#ifndef XFS_SUPER_MAGIC
#define XFS_SUPER_MAGIC 0x58465342
#endif

namespace redomark {

bool pathExists(const std::string& path, bool followLinks) {
  std::error_code ignored;
  return std::filesystem::exists(followLinks ? std::filesystem::status(path, ignored)
                                             : std::filesystem::symlink_status(path, ignored));
}

int64_t privateSpaceBelow(const std::string& path) {
  const FsResult<DirectoryHandle> directory = DirectoryHandle::open(path);
  return directory ? spaceBelow(*directory).privateBytes : 0;
}

void walk(const std::string& path, const OperationControl* control, const WalkVisitor& visit, WalkPace pace) {
  const FsResult<DirectoryHandle> directory = DirectoryHandle::open(path);
  if (!directory) {
    if (directory.code() == ENOENT || directory.code() == ENOTDIR) return;
    if (directory.code() == ELOOP) throw FsError::changed(path);
    throw FsError(directory.code(), FsOperation::read, path);
  }
  walk(*directory, control, visit, pace);
}

}  // namespace redomark

namespace redomark::testing {
namespace {

// Each Volume's variable, file system and whether it is a mount point of its own.
constexpr std::tuple<const char*, long, bool> expectedFor[] = {{"REDOMARK_TEST_BTRFS", BTRFS_SUPER_MAGIC, true},
                                                                {"REDOMARK_TEST_BTRFS2", BTRFS_SUPER_MAGIC, true},
                                                                {"REDOMARK_TEST_XFS", XFS_SUPER_MAGIC, true},
                                                                {"REDOMARK_TEST_SMALL", BTRFS_SUPER_MAGIC, true},
                                                                {"REDOMARK_TEST_NOCLONE", EXT4_SUPER_MAGIC, false}};

// Without the variable, what `scripts/volumes up build/volumes` wrote, so that
// the test binary can be run by itself while those volumes are up.
std::string fromVolumesFile(const char* variable) {
  std::ifstream file(REDOMARK_VOLUMES_ENV);
  const std::string prefix = std::string("export ") + variable + "=";
  for (std::string line; std::getline(file, line);)
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  return "";
}

bool isDirectory(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

void add(TreeSnapshot& out, const std::string& root, const std::string& relative) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("lstat " + path);
  std::ostringstream line;
  line << (S_ISDIR(st.st_mode) ? "dir" : S_ISLNK(st.st_mode) ? "link" : "file") << ' ' << std::oct
       << (st.st_mode & 07777) << std::dec << ' ' << (S_ISDIR(st.st_mode) ? 0 : st.st_size) << ' '
       << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << '|';
  if (S_ISREG(st.st_mode)) line << readFile(path);
  if (S_ISLNK(st.st_mode)) line << std::filesystem::read_symlink(path).string();
  out[relative] = line.str();
  if (!S_ISDIR(st.st_mode)) return;
  for (const std::string& name : sortedNames(path)) add(out, root, relative.empty() ? name : relative + "/" + name);
}

// The tool's argument and environment strings, and the pointer arrays that
// exec takes, made before a fork so that the child only has to exec.
struct Command {
  std::vector<std::string> strings, environment;
  std::vector<char*> argv, envp;
  Command(const std::vector<std::string>& args, const std::string& home, const std::vector<std::string>& launcher) {
    strings = launcher;
    strings.emplace_back(REDOMARK_BINARY);
    strings.insert(strings.end(), args.begin(), args.end());
    environment.push_back("HOME=" + home);
    // The leak checker cannot run under a tracer and aborts the traced tool.
    std::string sanitizer = launcher.empty() ? "" : "ASAN_OPTIONS=detect_leaks=0";
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "HOME=", 5) == 0) continue;
      if (!sanitizer.empty() && std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
        sanitizer = std::string(*e) + ":detect_leaks=0";
      else
        environment.emplace_back(*e);
    }
    if (!sanitizer.empty()) environment.push_back(sanitizer);
    for (std::string& s : strings) argv.push_back(s.data());
    for (std::string& s : environment) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

ToolRun endOf(pid_t& pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), "", "", WIFSIGNALED(raw)};
}

}  // namespace

std::string volumeRoot(Volume volume) {
  const auto [variable, magic, mountPoint] = expectedFor[static_cast<int>(volume)];
  const char* set = std::getenv(variable);
  const std::string value = set != nullptr && *set != '\0' ? set : fromVolumesFile(variable);
  if (value.empty())
    throw std::runtime_error(std::string(variable) + " is not set and " + REDOMARK_VOLUMES_ENV +
                             " is missing: run the tests through scripts/test, or bring the volumes up"
                             " with scripts/volumes up build/volumes first");
  struct statfs facts {};
  struct stat self {}, parent {};
  if (statfs(value.c_str(), &facts) != 0 || static_cast<long>(facts.f_type) != magic ||
      (mountPoint && (stat(value.c_str(), &self) != 0 || stat((value + "/..").c_str(), &parent) != 0 ||
                      self.st_dev == parent.st_dev)))
    throw std::runtime_error(std::string(variable) + "=" + value + " is not a volume of the expected type and place");
  return value;
}

ScratchDir::ScratchDir(Volume volume) {
  std::string pattern = volumeRoot(volume) + "/scratch-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a scratch folder in " + volumeRoot(volume));
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  // A test may leave read-only or half-removed trees; never throw from here.
  try {
    if (pathExists(path_, false)) removeTree(path_);
  } catch (const std::exception&) {
  }
}

TemporaryHome::TemporaryHome(Volume volume) : scratch_(volume) {
  if (const char* home = std::getenv("HOME")) previous_ = home;
  setenv("HOME", scratch_.path().c_str(), 1);
}

TemporaryHome::~TemporaryHome() { previous_ ? setenv("HOME", previous_->c_str(), 1) : unsetenv("HOME"); }

void createDirectories(const std::string& path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return;
  if (parentPath(path) != path) createDirectories(parentPath(path), mode);
  if (mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && isDirectory(path)))
    throw std::runtime_error("cannot create " + path);
  // mkdir's mode passes through the umask; tests of the store need exact permissions.
  if (mode != 0777) chmod(path.c_str(), mode);
}

void removeTree(const std::string& path) { removeTreeAt(AT_FDCWD, path, path); }

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string uniqueBytes(size_t length, uint32_t seed) {
  std::string out(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<char>(seed >> 16);
  }
  return out;
}

struct stat statusOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

void setMtimeNs(const std::string& path, int64_t ns) {
  // Floored, so that times before 1970 keep their nanoseconds in range.
  const int64_t seconds = ns / 1'000'000'000 - (ns % 1'000'000'000 < 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, ns - seconds * 1'000'000'000}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

mode_t permissions(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void setInodeFlags(const std::string& path, int flags, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int current = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
  current = on ? current | flags : current & ~flags;
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("cannot set the inode flags of " + path);
}

std::vector<std::string> sortedNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (!dir) return names;
  while (dirent* e = readdir(dir))
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") names.emplace_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string asUser(uid_t uid, const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child == 0) {
    std::string result = "could not change user";
    if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0) result = body();
    _exit(write(channel[1], result.data(), result.size()) < 0);
  }
  close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}

std::string outputOf(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (pipe) pclose(pipe);
  return out;
}

int openDescriptors() { return static_cast<int>(sortedNames("/proc/self/fd").size()); }

CloneContext cloneTree(const std::string& source, const std::string& destination, std::optional<int64_t> total,
                       OperationControl* control) {
  const FsResult<DirectoryHandle> from = DirectoryHandle::open(parentPath(source));
  const FsResult<DirectoryHandle> to = DirectoryHandle::open(parentPath(destination));
  if (!from || !to) throw std::runtime_error("no parent for " + source + " or " + destination);
  try {
    return cloneEntry(*from, lastComponent(source), *to, lastComponent(destination), total, control);
  } catch (const FsError& failure) {
    throw fsFailure(failure);
  }
}

TreeSnapshot snapshotTree(const std::string& root) {
  TreeSnapshot out;
  add(out, root, "");
  return out;
}

std::vector<Checkpoint> expectWholeCheckpoints(const Redomark& engine, const std::string& folder) {
  const std::vector<Checkpoint> listed = engine.listCheckpoints(folder);
  for (const Checkpoint& c : listed) {
    const CheckpointStore store = engine.storeFor(c.sourcePath);
    const std::string dir = store.checkpointDirectory(c);
    try {
      EXPECT_EQ(decodeStoreRecord(readFile(dir + "/meta.json")), c) << dir;
      std::map<std::string, ManifestEntry> manifest, saved;
      for (ManifestEntry& e : decodeManifest(readFile(dir + "/manifest.json"))) manifest[e.path] = std::move(e);
      walk(dir + "/data", nullptr,
           [&](const WalkEntry& e) { saved[e.path] = ManifestEntry{e.path, e.kind, e.size, e.mtimeNs}; });
      EXPECT_EQ(saved, manifest) << dir << ": the saved tree differs from its manifest";
    } catch (const std::exception& e) {
      ADD_FAILURE() << dir << " is listed but not whole: " << e.what();
    }
  }
  return listed;
}

std::vector<std::string> leftoverNames(const std::string& directory) {
  std::vector<std::string> names = sortedNames(directory);
  std::erase_if(names, [](const std::string& n) {
    return !n.ends_with(".partial") && !n.starts_with(".deleting-") && !n.starts_with(".redomark-restore-");
  });
  return names;
}

bool matchesPattern(const std::string& text, const std::string& pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string::npos) return text == pattern;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  const std::string rest = pattern.substr(star + 1);
  for (size_t at = star; at <= text.size(); ++at)
    if (matchesPattern(text.substr(at), rest)) return true;
  return false;
}

Checkpoint record(const std::string& folder, const std::string& id, double createdAt, Checkpoint::Kind kind,
                  int64_t totalBytes) {
  return {id, std::nullopt, kind, folder, createdAt, 0, totalBytes, 0, {}};
}

Checkpoint publish(const CheckpointStore& store, const Checkpoint& c) {
  createDirectories(store.dataDirectory(c), 0700);
  writeFile(store.checkpointDirectory(c) + "/meta.json", encodeStoreRecord(c));
  return c;
}

std::vector<std::string> ids(const std::vector<Checkpoint>& list) {
  std::vector<std::string> out(list.size());
  std::transform(list.begin(), list.end(), out.begin(), [](const Checkpoint& c) { return c.id; });
  return out;
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& home,
                         const std::vector<std::string>& launcher)
    : out_(memfd_create("tool-out", MFD_CLOEXEC)), err_(memfd_create("tool-err", MFD_CLOEXEC)) {
  Command command(args, home, launcher);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // No terminal: a restore must not wait for an answer.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_, STDERR_FILENO);
  const int failed = posix_spawnp(&pid_, command.argv[0], &actions, nullptr, command.argv.data(), command.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) {
    close(out_), close(err_);
    throw std::system_error(failed, std::generic_category(), "posix_spawn " + command.strings[0]);
  }
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) ::kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  close(out_), close(err_);
}

void ToolProcess::kill(int signal) const { ::kill(pid_, signal); }

ToolRun ToolProcess::wait() {
  ToolRun run = endOf(pid_);
  // Opened anew through /proc, a capture file is read from its start.
  run.out = readFile("/proc/self/fd/" + std::to_string(out_)), run.err = readFile("/proc/self/fd/" + std::to_string(err_));
  return run;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher) {
  return ToolProcess(args, home, launcher).wait();
}

TerminalProcess::TerminalProcess(const std::vector<std::string>& args, const std::string& home) {
  const Command command(args, home, {});
  // Bytes pass unchanged both ways (no echo, no "\r\n" for a line end), but
  // lines are still read whole and Ctrl-C still raises SIGINT.
  termios mode{};
  mode.c_cflag = CS8 | CREAD;
  mode.c_lflag = ICANON | ISIG;
  mode.c_cc[VINTR] = 3, mode.c_cc[VEOF] = 4, mode.c_cc[VMIN] = 1;
  pid_ = forkpty(&out_, nullptr, &mode, nullptr);
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "forkpty");
  if (pid_ == 0) {
    // As a shell starts a command in the foreground: Ctrl-C has its default effect.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    execve(command.argv[0], command.argv.data(), command.envp.data());
    _exit(127);
  }
  fcntl(out_, F_SETFD, FD_CLOEXEC);
}

void TerminalProcess::type(std::string_view bytes) const {
  [[maybe_unused]] const ssize_t n = write(out_, bytes.data(), bytes.size());
}

bool TerminalProcess::readMore() {
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  // Once the tool has ended and its side of the terminal is closed, reading fails with EIO.
  if (n > 0) shown_.append(buffer, n);
  return n > 0;
}

size_t TerminalProcess::readUntil(std::string_view text, size_t from) {
  for (;;) {
    if (const size_t at = shown_.find(text, from); at != std::string::npos) return at + text.size();
    if (!readMore()) return std::string::npos;
  }
}

ToolRun TerminalProcess::wait() {
  while (readMore()) {
  }
  ToolRun run = endOf(pid_);
  run.out = shown_;
  return run;
}

}  // namespace redomark::testing
