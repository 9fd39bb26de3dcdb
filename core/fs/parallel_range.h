// Runs one function over a range of indices on the calling thread and a few
// helper threads, for work made of many independent system calls (the status
// calls of a large directory). One caller at a time; run returns only when
// every call has returned, so results written by index are then visible.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace redomark {

class ParallelRange {
 public:
  // helpers: threads besides the caller, started on the first run that uses them.
  explicit ParallelRange(size_t helpers) : helpers_(helpers) {}
  ~ParallelRange();
  ParallelRange(const ParallelRange&) = delete;
  ParallelRange& operator=(const ParallelRange&) = delete;

  // Calls work(i) once for each i below count; work must not throw.
  void run(size_t count, const std::function<void(size_t)>& work);

 private:
  void helperLoop();
  void drain(const std::function<void(size_t)>& work, size_t count);
  template <typename Ready>
  static bool spinUntil(Ready ready);

  const size_t helpers_;
  std::vector<std::thread> threads_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  // A new value announces a job; stored under lock_ so a sleeping helper
  // cannot miss it, read without it by a helper still spinning.
  std::atomic<uint64_t> generation_{0};
  std::atomic<size_t> busy_{0};  // helpers not yet done with the current job
  bool stopping_ = false;        // guarded by lock_
  // The job: written before its generation is announced, unchanged until
  // every helper is done with it.
  const std::function<void(size_t)>* work_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};  // first index no thread has taken yet
};

}  // namespace redomark
