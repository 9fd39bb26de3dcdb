// What another user sharing a folder could run against the tool, started by
// the attack tests (under setpriv when it must be someone else). It says
// "ready <its pid>" once it is at work, and on SIGTERM stops and reports what it did.
//   attacker exchange DIR A B      swaps the entries A and B of DIR, over and over
//   attacker appear DIR NAME PREFIX TEXT
//                                  once an entry whose name starts with PREFIX
//                                  appears in DIR, creates the file NAME there
//                                  holding TEXT (never over anything)
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {
volatile sig_atomic_t stopped = 0;
}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = [](int) { stopped = 1; };  // no SA_RESTART: a blocked read must end
  sigaction(SIGTERM, &action, nullptr);
  const std::string mode = argc > 1 ? argv[1] : "";
  const int dir = argc > 2 ? open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1, watch = inotify_init1(IN_CLOEXEC);
  if (dir < 0 ||
      !((mode == "exchange" && argc == 5) ||
        (mode == "appear" && argc == 6 && inotify_add_watch(watch, argv[2], IN_CREATE | IN_MOVED_TO) >= 0))) {
    std::fputs("usage: attacker exchange DIR A B | attacker appear DIR NAME PREFIX TEXT\n", stderr);
    return 2;
  }
  std::printf("ready %d\n", getpid());
  std::fflush(stdout);
  long done = 0;
  while (mode == "exchange" && !stopped) done += renameat2(dir, argv[3], dir, argv[4], RENAME_EXCHANGE) == 0;
  if (mode == "exchange") std::printf("exchanged %ld\n", done);
  alignas(inotify_event) char buffer[8192];
  for (ssize_t n = 0, at = 0; mode == "appear" && !stopped; at = 0) {
    // Ended early by the stop: the name never appeared.
    if ((n = read(watch, buffer, sizeof buffer)) <= 0) continue;
    for (const inotify_event* event; at < n; at += sizeof(inotify_event) + event->len) {
      event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len == 0 || strncmp(event->name, argv[4], strlen(argv[4])) != 0) continue;
      const int fd = openat(dir, argv[3], O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      fd < 0 ? std::printf("late %s\n", strerror(errno))
             : std::printf(write(fd, argv[5], strlen(argv[5])) == ssize_t(strlen(argv[5])) ? "created\n" : "short\n");
      std::fflush(stdout);
      while (!stopped) pause();
      return 0;
    }
  }
  if (mode == "appear") std::puts("none");
  return 0;
}
