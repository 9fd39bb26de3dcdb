// Runs tasks, each of which may make more, on the calling thread and a few
// helper threads until none is left and none is running: the directories of
// a tree handed out whole. The task made last is taken first, so a tree is
// worked deep and the stack stays short. The first task to throw ends the
// run: no task starts after it, those running finish, and run throws it
// again on the calling thread. push, wanted and stopping may be called from
// any thread; run from one thread at a time.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace redomark {

// One thread per core, up to four: the work is system calls that wait on
// little but the processor, and more threads only take turns.
inline size_t threadsPerCore() { return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4); }

template <typename Task>
class TaskStack {
 public:
  // threads: how many may run tasks at once, the caller of run included.
  explicit TaskStack(size_t threads) : threads_(threads == 0 ? 1 : threads) {}
  TaskStack(const TaskStack&) = delete;
  TaskStack& operator=(const TaskStack&) = delete;

  size_t threads() const { return threads_; }

  void push(Task task) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      tasks_.push_back(std::move(task));
      queued_.store(tasks_.size(), std::memory_order_relaxed);
    }
    changed_.notify_one();
  }

  // Whether a task handed out now would soon be taken by a thread that
  // would otherwise wait; false with one thread.
  bool wanted() const { return threads_ > 1 && queued_.load(std::memory_order_relaxed) < threads_; }

  // True once a task has failed: others had best stop early.
  bool stopping() const { return failed_.load(std::memory_order_relaxed); }

  // Calls perform(worker, task) for every task, worker being the number,
  // below threads(), of the thread that runs it; startHelper(worker) first
  // on each helper thread.
  template <typename Perform, typename StartHelper>
  void run(Perform perform, StartHelper startHelper) {
    std::vector<std::thread> helpers;
    for (size_t worker = 1; worker < threads_; ++worker) {
      try {
        helpers.emplace_back([&, worker] {
          startHelper(worker);
          work(perform, worker);
        });
      } catch (const std::system_error&) {
        break;  // fewer threads do the same work
      }
    }
    work(perform, 0);
    for (std::thread& helper : helpers) helper.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  template <typename Perform>
  void work(Perform& perform, size_t worker) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return failed_ || !tasks_.empty() || busy_ == 0; });
      if (failed_ || tasks_.empty()) break;
      Task task = std::move(tasks_.back());
      tasks_.pop_back();
      queued_.store(tasks_.size(), std::memory_order_relaxed);
      ++busy_;
      guard.unlock();
      std::exception_ptr failure;
      try {
        perform(worker, task);
      } catch (...) {
        failure = std::current_exception();
      }
      guard.lock();
      --busy_;
      if (failure && !failed_) {
        error_ = failure;
        failed_ = true;
      }
      changed_.notify_all();
    }
  }

  const size_t threads_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Task> tasks_;          // guarded by lock_
  size_t busy_ = 0;                  // guarded by lock_: tasks being run
  std::exception_ptr error_;         // guarded by lock_ until run joins
  std::atomic<bool> failed_{false};  // written under lock_
  std::atomic<size_t> queued_{0};    // tasks_.size(), for wanted() to read without the lock
};

}  // namespace redomark
