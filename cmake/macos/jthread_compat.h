// std::jthread for standard libraries that lack it (libc++ before 18): a
// thread joined when it is destroyed or assigned over, which is all the tree
// asks of it. Force-included by the macOS build only where the check fails.
#pragma once

#ifdef __cplusplus
#include <thread>
#include <utility>
#include <version>

#ifndef __cpp_lib_jthread
namespace std {

class jthread {
 public:
  jthread() noexcept = default;
  template <typename F, typename... Args>
  explicit jthread(F&& f, Args&&... args) : thread_(std::forward<F>(f), std::forward<Args>(args)...) {}
  jthread(jthread&&) noexcept = default;
  jthread& operator=(jthread&& other) noexcept {
    joinIfRunning();
    thread_ = std::move(other.thread_);
    return *this;
  }
  ~jthread() { joinIfRunning(); }

  bool joinable() const noexcept { return thread_.joinable(); }
  void join() { thread_.join(); }
  void detach() { thread_.detach(); }

 private:
  void joinIfRunning() {
    if (thread_.joinable()) thread_.join();
  }
  std::thread thread_;
};

}  // namespace std
#endif
#endif
