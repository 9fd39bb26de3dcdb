// Progress and cancellation for one long operation (save, restore, put back).
// Shared by the operation's thread and a canceller's thread: the flag and the
// time of the last report are touched only under the control's own lock, and
// the callback is always called after that lock is released.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace redomark {

struct OperationProgress {
  enum class Phase { scanning, copying, finishing };

  Phase phase = Phase::scanning;
  int64_t filesDone = 0;
  std::optional<int64_t> filesTotal;

  bool operator==(const OperationProgress&) const = default;
};

class OperationControl {
 public:
  using Callback = std::function<void(const OperationProgress&)>;
  using Clock = std::chrono::steady_clock;

  static constexpr double throttleSeconds = 0.05;

  explicit OperationControl(Callback onProgress = {}) : onProgress_(std::move(onProgress)) {}
  OperationControl(const OperationControl&) = delete;
  OperationControl& operator=(const OperationControl&) = delete;

  void cancel();
  bool isCancelled() const;
  bool hasProgress() const { return static_cast<bool>(onProgress_); }

  // Passes p on only if more than throttleSeconds went by since the last report.
  void report(const OperationProgress& p);
  // Always passes p on; for an operation's first report and its phase changes.
  void reportNow(const OperationProgress& p);

 private:
  mutable std::mutex lock_;
  bool cancelled_ = false;               // guarded by lock_; never cleared
  std::optional<Clock::time_point> lastReport_;  // guarded by lock_; none = the distant past
  const Callback onProgress_;
};

}  // namespace redomark
