// The progress line of save and restore, and Ctrl-C turned into cancellation.
#pragma once

#include "core/records/operation_control.h"

namespace redomark {

// The run's one control: progress drawn only when standard error is a
// terminal; from now on SIGINT no longer ends the process but cancels. Lives
// until the process ends.
OperationControl& makeControl();
// "\r" + phase words + count (+ " of " total) + " items…" + erase, in one write.
void printProgress(const OperationProgress& progress);

}  // namespace redomark
