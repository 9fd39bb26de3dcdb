#include "redomark/failure.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/records/redomark_error.h"
#include "redomark/shown_text.h"

namespace redomark {
namespace {

// Unbuffered, so the message is never interleaved with a progress line.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void warn(std::string_view message) {
  std::fflush(stdout);
  std::string line = "redomark: ";
  line.append(message);
  line += '\n';
  writeAll(2, line);
}

void fail(std::string_view message, int status) {
  warn(message);
  std::_Exit(status);
}

void clearProgressLine() {
  if (::isatty(2)) writeAll(2, "\r\x1b[K");
}

void reportFailure(const std::exception& error) {
  clearProgressLine();
  const auto* known = dynamic_cast<const RedomarkError*>(&error);
  const bool cancelled = known != nullptr && *known == RedomarkError::cancelled();
  // Messages carry paths and names: shown so that none can fake a line.
  fail(shown(error.what()), cancelled ? exitCancelled : exitFailure);
}

}  // namespace redomark
