#include "core/fs/parallel_range.h"

#include <algorithm>
#include <chrono>

namespace redomark {

namespace {
// Small enough to balance the threads, large enough that taking indices
// costs nothing next to a system call each.
constexpr size_t chunkItems = 4;
// A walk posts a job per large directory, a few tens of microseconds apart;
// waiting that long awake saves a sleep and a wake-up for each.
constexpr auto spinTime = std::chrono::microseconds(50);
}  // namespace

template <typename Ready>
bool ParallelRange::spinUntil(Ready ready) {
  const auto end = std::chrono::steady_clock::now() + spinTime;
  do {
    if (ready()) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

ParallelRange::~ParallelRange() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ParallelRange::run(size_t count, const std::function<void(size_t)>& work) {
  if (helpers_ == 0 || count <= chunkItems) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  work_ = &work;
  count_ = count;
  next_.store(0, std::memory_order_relaxed);
  busy_.store(helpers_, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> guard(lock_);
    while (threads_.size() < helpers_) threads_.emplace_back([this] { helperLoop(); });
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  drain(work, count);
  const auto done = [this] { return busy_.load(std::memory_order_acquire) == 0; };
  if (spinUntil(done)) return;
  std::unique_lock<std::mutex> guard(lock_);
  finished_.wait(guard, done);
}

void ParallelRange::drain(const std::function<void(size_t)>& work, size_t count) {
  for (;;) {
    const size_t first = next_.fetch_add(chunkItems, std::memory_order_relaxed);
    if (first >= count) return;
    const size_t end = std::min(count, first + chunkItems);
    for (size_t i = first; i < end; ++i) work(i);
  }
}

void ParallelRange::helperLoop() {
  uint64_t seen = 0;
  for (;;) {
    const auto announced = [&] { return generation_.load(std::memory_order_acquire) != seen; };
    if (!spinUntil(announced)) {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [&] { return stopping_ || announced(); });
      if (stopping_) return;
    }
    seen = generation_.load(std::memory_order_acquire);
    drain(*work_, count_);
    if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> guard(lock_);
      finished_.notify_one();
    }
  }
}

}  // namespace redomark
