#include "core/records/operation_control.h"

namespace redomark {

void OperationControl::cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  cancelled_ = true;
}

bool OperationControl::isCancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

void OperationControl::report(const OperationProgress& p) {
  if (!onProgress_) return;
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (lastReport_ && std::chrono::duration<double>(now - *lastReport_).count() <= throttleSeconds) return;
    lastReport_ = now;
  }
  onProgress_(p);
}

void OperationControl::reportNow(const OperationProgress& p) {
  if (!onProgress_) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    lastReport_ = Clock::now();
  }
  onProgress_(p);
}

}  // namespace redomark
