// The one place where a failure becomes a message on standard error and an
// exit status, and where a half-drawn progress line is erased first.
#pragma once

#include <exception>
#include <string_view>

namespace redomark {

enum ExitStatus { exitSuccess = 0, exitFailure = 1, exitUsage = 2, exitCancelled = 130 };

// Writes "redomark: " + message + a line end straight to descriptor 2 and exits.
[[noreturn]] void fail(std::string_view message, int status);
// Writes "redomark: " + message + a line end straight to descriptor 2 and goes on.
void warn(std::string_view message);
// Erases the progress line when standard error is a terminal; harmless otherwise.
void clearProgressLine();
// Ends the run for an error an engine operation raised: 130 when cancelled, else 1.
[[noreturn]] void reportFailure(const std::exception& error);

}  // namespace redomark
