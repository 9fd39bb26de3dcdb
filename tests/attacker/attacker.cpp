// What another user sharing a folder could run against the tool, started by
// the attack tests (under setpriv when it must be someone else). It says
// "ready <its pid>" once it is at work, and on SIGTERM stops and reports what it did.
//   attacker exchange DIR A B      swaps the entries A and B of DIR, over and over
//   attacker appear DIR NAME PREFIX TEXT
//                                  once an entry whose name starts with PREFIX
//                                  appears in DIR, creates the file NAME there
//                                  holding TEXT (never over anything)
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

namespace {

volatile sig_atomic_t stopped = 0;

void onTerm(int) { stopped = 1; }

int exchangeLoop(int dir, const char* a, const char* b) {
  long done = 0, refused = 0;
  std::printf("ready %d\n", getpid());
  std::fflush(stdout);
  while (!stopped) {
    if (renameat2(dir, a, dir, b, RENAME_EXCHANGE) == 0)
      ++done;
    else
      ++refused;
  }
  std::printf("exchanged %ld refused %ld\n", done, refused);
  return 0;
}

int appearOnce(int dir, const char* path, const char* name, const char* prefix, const char* text) {
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, path, IN_CREATE | IN_MOVED_TO) < 0) {
    std::perror("inotify");
    return 1;
  }
  std::printf("ready %d\n", getpid());
  std::fflush(stdout);
  alignas(inotify_event) char buffer[8192];
  while (!stopped) {
    const ssize_t n = read(watch, buffer, sizeof buffer);
    if (n <= 0) continue;  // interrupted by the stop
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += sizeof(inotify_event) + event->len;
      if (event->len == 0 || strncmp(event->name, prefix, strlen(prefix)) != 0) continue;
      const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) {
        std::printf("late %s\n", strerror(errno));
      } else {
        const bool whole = write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
        close(fd);
        std::puts(whole ? "created" : "short");
      }
      std::fflush(stdout);
      while (!stopped) pause();
      return 0;
    }
  }
  std::puts("none");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onTerm;  // no SA_RESTART: a blocked read must end
  sigaction(SIGTERM, &action, nullptr);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "exchange" && argc == 5) || (mode == "appear" && argc == 6))) {
    std::fputs("usage: attacker exchange DIR A B | attacker appear DIR NAME PREFIX TEXT\n", stderr);
    return 2;
  }
  const int dir = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    std::perror(argv[2]);
    return 1;
  }
  return mode == "exchange" ? exchangeLoop(dir, argv[3], argv[4]) : appearOnce(dir, argv[2], argv[3], argv[4], argv[5]);
}
